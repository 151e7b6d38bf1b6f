// CCvServerAdminPropPage: the control's property page, on which a user picks
// the server to bind to from a tree of the servers the workstation sees and
// the directory trees with their containers and server objects. The tree is
// filled one level at a time, when a node is first expanded.
#pragma once

#include <QIcon>
#include <QPointer>
#include <QString>
#include <QTreeWidget>
#include <QVector>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "dirnames.h"
#include "olectl/aboutbox.h"
#include "olectl/proppage.h"

namespace cvsrva {

inline constexpr unsigned IDD_PROPPAGE_CVSERVERADMIN = 100;
inline constexpr int IDC_BROWSE_TREE = 202;
// The item value of a directory server object: selecting one enables Apply.
inline constexpr std::uint32_t kServerItemValue = 0x20;

// Dialog template 100: the tree (202) under its label.
ole::ctl::DialogTemplate BrowsePageTemplate();

class CCvServerAdminPropPage : public ole::ctl::COlePropertyPage<CCvServerAdminPropPage> {
 public:
  CCvServerAdminPropPage();
  ~CCvServerAdminPropPage() override;

  // Removes and returns the last dot-separated component of the restore path.
  QString PopPathComponent();
  // The image index of a directory base class (0 for one the map does not know).
  int ClassImageIndex(const QString& className) const;

  // The page's copy of FullName, as loaded, browsed and applied.
  const QString& FullNameCopy() const { return fullName_; }
  QTreeWidget* Tree() const { return tree_.data(); }

  // Item data roles of the tree: the item value, the image index, and whether
  // the item was ever expanded.
  static constexpr int kValueRole = 0x0100;       // Qt::UserRole
  static constexpr int kImageRole = 0x0101;
  static constexpr int kExpandedOnceRole = 0x0102;

 protected:
  QWidget* CreateContent(QWidget* parent) override;
  void OnInitDialog() override;
  void DoDataExchange(ole::ctl::CDataExchange& dx) override;

 private:
  // Notification handlers of the tree.
  void OnItemExpanding(QTreeWidgetItem* item);
  void OnSelChanged(QTreeWidgetItem* item);
  // Expands item, filling it first when it was never expanded.
  void ExpandItem(QTreeWidgetItem* item);
  // Scrolls the first children of an expanded item into view.
  void ShowChildren(QTreeWidgetItem* item);

  // A new item, not yet in the tree.
  QTreeWidgetItem* MakeItem(const QString& text, int image, std::uint32_t value = 0) const;
  // Puts item among the children of parent (the top level for null), sorted.
  void Place(QTreeWidgetItem* parent, const QString& text, QTreeWidgetItem* item);
  QTreeWidgetItem* InsertItem(QTreeWidgetItem* parent, const QString& text, int image, std::uint32_t value = 0);
  // Puts the items made by a fill among the children of parent, sorted, and
  // empties children.
  struct NewChild {
    QString text;
    QTreeWidgetItem* item;
  };
  void InsertSorted(QTreeWidgetItem* parent, std::vector<NewChild>& children);
  void SetHasChildren(QTreeWidgetItem* item, bool hasChildren);
  void ContinueRestore(QTreeWidgetItem* candidate);
  QString RestoreTarget();

  void FillRoot(QTreeWidgetItem* root);
  void FillServerList(QTreeWidgetItem* node);
  void FillTreeList(QTreeWidgetItem* node);
  void FillContainer(QTreeWidgetItem* item);

  // Members, in this order.
  int firstFreeImage_ = 0;
  QPointer<QTreeWidget> tree_;  // bound to control 202; owned by the page's widgets
  CDirBuffer buffer_;
  std::map<std::string, int> classImageMap_;  // lower-cased class name -> table row
  QVector<QIcon> imageList_;
  QString fullName_;
  int restoring_ = 0;
  QString restorePath_;
  QTreeWidgetItem* pendingSelection_ = nullptr;
  QString corvaneServices_;
  QString corvaneServers_;
  QString directoryServices_;
  QString kcpServerClass_;
  QString organizationClass_;
  QString unitClass_;
  QString countryClass_;
  QString localityClass_;
};

}  // namespace cvsrva
