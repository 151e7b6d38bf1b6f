#include "browsepage.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPixmap>
#include <QTreeWidget>
#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <set>

#include "classimages.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksdir.h"
#include "ole/dispatch.h"
#include "stringtable.h"

namespace cvsrva {
namespace {

constexpr std::uint32_t kScanStart = 0xFFFFFFFF;
constexpr std::uint16_t kServerObjectType = 0x0400;
constexpr std::uint32_t kListOperation = 5;
constexpr std::uint32_t kBufferSize = 4096;
// Offsets of the page's own images from the first free index.
constexpr int kRootImage = 0;
constexpr int kTreeImage = 1;
constexpr int kListedServerImage = 2;
constexpr int kGroupNodeImage = 3;
// Scans and listings end when the library says so; these only stop one that
// never does.
constexpr int kMaxScanSteps = 1 << 16;
constexpr int kMaxListBatches = 1 << 16;

QString Str(unsigned id) {
  const std::string_view s = LoadString(id);
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// A NUL-terminated text of at most size bytes from the library.
QString FromLibrary(const char* text, std::size_t size) {
  return QString::fromUtf8(text, static_cast<qsizetype>(strnlen(text, size)));
}

std::string ToLibrary(const QString& text) { return text.toUtf8().toStdString(); }

// The wait cursor, for as long as the object lives.
class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

// Redrawing of a widget switched off, for as long as the object lives.
class NoRedraw {
 public:
  explicit NoRedraw(QWidget* w) : w_(w), was_(w && w->updatesEnabled()) {
    if (w_) w_->setUpdatesEnabled(false);
  }
  ~NoRedraw() {
    if (w_ && was_) w_->setUpdatesEnabled(true);
  }
  NoRedraw(const NoRedraw&) = delete;
  NoRedraw& operator=(const NoRedraw&) = delete;

 private:
  QPointer<QWidget> w_;
  bool was_;
};

// Ends a directory listing that did not complete.
void CloseListing(std::uint32_t context, std::uint32_t iteration) {
  if (iteration != kScanStart) CvCloseIteration(context, iteration, kListOperation);
}

}  // namespace

ole::ctl::DialogTemplate BrowsePageTemplate() {
  ole::ctl::DialogTemplate t;
  t.size = QSize(250, 110);
  t.texts.push_back(
      {QStringLiteral("Browse desired tree and context/server to select server"), QRect(13, 5, 220, 8), "BrowseLabel"});
  return t;
}

CCvServerAdminPropPage::CCvServerAdminPropPage()
    : COlePropertyPage(Str(IDS_FULLNAME_PPG_CAPTION)), firstFreeImage_(kClassImageRows), buffer_(kBufferSize) {
  for (int row = 0; row < kClassImageRows; ++row) {
    classImageMap_[Str(kClassImageTable[row].nameId).toLower().toStdString()] = row;
  }
}

CCvServerAdminPropPage::~CCvServerAdminPropPage() = default;

QString CCvServerAdminPropPage::PopPathComponent() {
  if (restorePath_.isEmpty()) return {};
  const qsizetype dot = restorePath_.lastIndexOf(QLatin1Char('.'));
  if (dot < 0) {
    QString all = restorePath_;
    restorePath_.clear();
    return all;
  }
  QString last = restorePath_.mid(dot + 1);
  restorePath_.truncate(dot);
  return last;
}

int CCvServerAdminPropPage::ClassImageIndex(const QString& className) const {
  const auto it = classImageMap_.find(className.toLower().toStdString());
  const int row = it == classImageMap_.end() ? 0 : it->second;
  return static_cast<int>(kClassImageTable[row].image);
}

QWidget* CCvServerAdminPropPage::CreateContent(QWidget* parent) {
  const ole::ctl::DialogTemplate t = BrowsePageTemplate();
  const QFont font = ole::ctl::DialogFont(t);
  auto* page = new QWidget(parent);
  page->setObjectName(QStringLiteral("CvServerAdminPropPage"));
  page->setFont(font);
  page->setFixedSize(ole::ctl::DluToPixels(font, QRect(QPoint(0, 0), t.size)).size());
  for (const auto& text : t.texts) {
    auto* label = new QLabel(text.text, page);
    label->setObjectName(text.objectName);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setGeometry(ole::ctl::DluToPixels(font, text.rect));
  }
  auto* tree = new QTreeWidget(page);
  tree->setObjectName(QStringLiteral("Tree1"));
  tree->setProperty("controlId", IDC_BROWSE_TREE);
  tree->setGeometry(ole::ctl::DluToPixels(font, QRect(14, 17, 221, 80)));
  tree->setHeaderHidden(true);
  tree->setColumnCount(1);
  tree->setRootIsDecorated(true);
  tree->setItemsExpandable(true);
  tree->setSelectionMode(QAbstractItemView::SingleSelection);
  tree->setIconSize(QSize(16, 16));
  tree->setFrameShape(QFrame::Box);
  tree->setFocusPolicy(Qt::StrongFocus);
  // Always show the selection, focused or not.
  QPalette pal = tree->palette();
  pal.setColor(QPalette::Inactive, QPalette::Highlight, pal.color(QPalette::Active, QPalette::Highlight));
  pal.setColor(QPalette::Inactive, QPalette::HighlightedText, pal.color(QPalette::Active, QPalette::HighlightedText));
  tree->setPalette(pal);
  QObject::connect(tree, &QTreeWidget::itemExpanded, tree, [this](QTreeWidgetItem* item) {
    OnItemExpanding(item);
    if (!restoring_) ShowChildren(item);
  });
  QObject::connect(tree, &QTreeWidget::currentItemChanged, tree,
                   [this](QTreeWidgetItem* current, QTreeWidgetItem*) { OnSelChanged(current); });
  tree_ = tree;
  return page;
}

void CCvServerAdminPropPage::DoDataExchange(ole::ctl::CDataExchange& dx) {
  ole::ctl::DDP_Text(dx, fullName_, "FullName");
}

void CCvServerAdminPropPage::OnInitDialog() {
  WaitCursor wait;
  corvaneServices_ = Str(IDS_CORVANE_SERVICES);
  corvaneServers_ = Str(IDS_CORVANE_SERVERS);
  directoryServices_ = Str(IDS_VELTRANE_DIRECTORY);
  kcpServerClass_ = Str(IDS_KCP_SERVER);
  organizationClass_ = Str(IDS_ORGANIZATION);
  unitClass_ = Str(IDS_ORGANIZATIONAL_UNIT);
  countryClass_ = Str(IDS_COUNTRY);
  localityClass_ = Str(IDS_LOCALITY);

  // The image list: the class bitmaps in table order, then the page's own four.
  imageList_.clear();
  imageList_.reserve(kClassImageRows);
  auto add = [this](unsigned bitmap) {
    const QImage image = LoadBrowseBitmap(static_cast<std::uint16_t>(bitmap));
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setMask(pixmap.createMaskFromColor(QColor(255, 255, 255), Qt::MaskInColor));  // white: transparent
    imageList_.push_back(QIcon(pixmap));
  };
  for (const ClassImageRow& row : kClassImageTable) add(row.bitmap);
  firstFreeImage_ = static_cast<int>(imageList_.size());
  for (unsigned bitmap : {IDB_CORVANE_SERVICES, IDB_DIRECTORY_TREE, IDB_LISTED_SERVER, IDB_GROUP_NODE}) add(bitmap);

  if (!tree_) return;
  tree_->clear();
  QTreeWidgetItem* root = InsertItem(nullptr, corvaneServices_, firstFreeImage_ + kRootImage);
  if (!root) return;

  // The path to the current server, leaf first.
  const QString& f = fullName_;
  if (f.startsWith(QLatin1Char('\\'))) {
    restorePath_ = f.mid(f.lastIndexOf(QLatin1Char('\\')) + 1) + QLatin1Char('.') + corvaneServers_;
  } else {
    restorePath_.clear();
    QString rest = f.mid(6);
    for (qsizetype b; (b = rest.lastIndexOf(QLatin1Char('\\'))) >= 0; rest.truncate(b)) {
      restorePath_ += rest.mid(b + 1) + QLatin1Char('.');
    }
    restorePath_ += rest + QLatin1Char('.') + directoryServices_;
  }
  restoring_ = 1;
  pendingSelection_ = nullptr;
  ExpandItem(root);
  restoring_ = 0;
  if (QTreeWidgetItem* pending = std::exchange(pendingSelection_, nullptr)) {
    tree_->setCurrentItem(pending);
    tree_->scrollToItem(pending);
  }
}

QTreeWidgetItem* CCvServerAdminPropPage::MakeItem(const QString& text, int image, std::uint32_t value) const {
  auto* item = new QTreeWidgetItem(QStringList{text});
  if (image >= 0 && image < imageList_.size()) item->setIcon(0, imageList_[image]);
  item->setData(0, kImageRole, image);
  item->setData(0, kValueRole, value);
  item->setData(0, kExpandedOnceRole, false);
  item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  return item;
}

void CCvServerAdminPropPage::InsertSorted(QTreeWidgetItem* parent, std::vector<NewChild>& children) {
  if (children.empty()) return;
  auto items = std::move(children);
  children.clear();
  if (!tree_) {
    for (auto& c : items) delete c.item;
    return;
  }
  // Stable: children that compare equal keep the order they came in, as
  // one insertion after another would leave them.
  std::stable_sort(items.begin(), items.end(), [](const NewChild& a, const NewChild& b) {
    return QString::compare(a.text, b.text, Qt::CaseInsensitive) < 0;
  });
  if (parent->childCount() == 0) {
    QList<QTreeWidgetItem*> list;
    list.reserve(static_cast<qsizetype>(items.size()));
    for (const auto& c : items) list.append(c.item);
    parent->insertChildren(0, list);
    return;
  }
  for (const auto& c : items) Place(parent, c.text, c.item);
}

QTreeWidgetItem* CCvServerAdminPropPage::InsertItem(QTreeWidgetItem* parent, const QString& text, int image,
                                                    std::uint32_t value) {
  if (!tree_) return nullptr;
  QTreeWidgetItem* item = MakeItem(text, image, value);
  Place(parent, text, item);
  return item;
}

void CCvServerAdminPropPage::Place(QTreeWidgetItem* parent, const QString& text, QTreeWidgetItem* item) {
  // Sorted among its siblings, without regard to case, after those that
  // compare equal. The siblings are sorted already, so a binary search finds
  // the place; the directory lists names in ascending order, so the last
  // sibling is tried first.
  auto before = [&](int i) {
    const QTreeWidgetItem* other = parent ? parent->child(i) : tree_->topLevelItem(i);
    return QString::compare(text, other->text(0), Qt::CaseInsensitive) < 0;
  };
  const int count = parent ? parent->childCount() : tree_->topLevelItemCount();
  int at = count;
  if (count > 0 && before(count - 1)) {
    int lo = 0, hi = count - 1;  // the place is in [lo, hi]
    while (lo < hi) {
      const int mid = lo + (hi - lo) / 2;
      if (before(mid))
        hi = mid;
      else
        lo = mid + 1;
    }
    at = lo;
  }
  if (parent)
    parent->insertChild(at, item);
  else
    tree_->insertTopLevelItem(at, item);
}

void CCvServerAdminPropPage::SetHasChildren(QTreeWidgetItem* item, bool hasChildren) {
  // Without the indicator an item still shows its button while it has children.
  item->setChildIndicatorPolicy(hasChildren ? QTreeWidgetItem::ShowIndicator
                                            : QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

void CCvServerAdminPropPage::ExpandItem(QTreeWidgetItem* item) {
  OnItemExpanding(item);
  item->setExpanded(true);  // its itemExpanded finds it filled
}

void CCvServerAdminPropPage::ShowChildren(QTreeWidgetItem* item) {
  if (!tree_ || !item || item->childCount() == 0) return;
  // As many of the first children as fit below the item come into view; the
  // item itself stays in view.
  const int rowHeight = std::max(1, tree_->visualItemRect(item).height());
  const int rows = std::max(1, tree_->viewport()->height() / rowHeight);
  const int last = std::clamp(rows - 2, 0, item->childCount() - 1);
  tree_->scrollToItem(item->child(last));
  tree_->scrollToItem(item);
}

QString CCvServerAdminPropPage::RestoreTarget() { return restoring_ ? PopPathComponent() : QString(); }

void CCvServerAdminPropPage::ContinueRestore(QTreeWidgetItem* candidate) {
  if (!candidate) return;
  if (!restorePath_.isEmpty()) {
    ExpandItem(candidate);
  } else {
    pendingSelection_ = candidate;
  }
}

void CCvServerAdminPropPage::OnItemExpanding(QTreeWidgetItem* item) {
  if (!item || item->data(0, kExpandedOnceRole).toBool()) return;
  item->setData(0, kExpandedOnceRole, true);
  WaitCursor wait;
  NoRedraw noRedraw(tree_);
  try {
    const QString text = item->text(0);
    if (text == corvaneServices_) FillRoot(item);
    if (text == directoryServices_) FillTreeList(item);
    if (text == corvaneServers_) FillServerList(item);
    for (QTreeWidgetItem* a = item->parent(); a; a = a->parent()) {
      if (a->text(0) == directoryServices_) {
        FillContainer(item);
        break;
      }
    }
    for (QTreeWidgetItem* a = item->parent(); a; a = a->parent()) {
      if (a->text(0) == corvaneServers_) {
        SetHasChildren(item, false);
        break;
      }
    }
  } catch (const ole::DispatchException& e) {
    ole::ctl::ShowErrorBox(tree_ ? tree_->window() : nullptr, Caption(), QString::fromStdString(e.description));
  } catch (const std::bad_alloc&) {
    ole::ctl::ShowErrorBox(tree_ ? tree_->window() : nullptr, Caption(), QStringLiteral("Out of memory."));
  }
}

void CCvServerAdminPropPage::FillRoot(QTreeWidgetItem* root) {
  if (restoring_) PopPathComponent();
  QTreeWidgetItem* servers = InsertItem(root, corvaneServers_, firstFreeImage_ + kGroupNodeImage);
  QTreeWidgetItem* directory = InsertItem(root, directoryServices_, firstFreeImage_ + kGroupNodeImage);
  QTreeWidgetItem* candidate = nullptr;
  if (fullName_.startsWith(QLatin1Char('\\'))) {
    candidate = servers;
  } else if (fullName_.startsWith(QLatin1String("CDS:"))) {
    candidate = directory;
  }
  ContinueRestore(candidate);
}

void CCvServerAdminPropPage::FillServerList(QTreeWidgetItem* node) {
  const QString target = RestoreTarget();
  std::uint32_t connection = 0;
  if (CvGetPrimaryConnection(&connection) != 0) return;
  QTreeWidgetItem* candidate = nullptr;
  bool inserted = false;
  std::uint32_t position = kScanStart;
  for (int step = 0; step < kMaxScanSteps; ++step) {
    char name[kCvScanNameSize] = {};
    std::uint16_t type = 0;
    std::uint8_t ignored[3] = {};
    if (CvScanObject(connection, "*", kServerObjectType, &position, name, &type, &ignored[0], &ignored[1],
                     &ignored[2]) != 0) {
      break;
    }
    const QString text = FromLibrary(name, sizeof name);
    QTreeWidgetItem* item = InsertItem(node, text, firstFreeImage_ + kListedServerImage);
    SetHasChildren(item, false);  // a server holds nothing to browse
    inserted = true;
    if (!target.isEmpty() && text.compare(target, Qt::CaseInsensitive) == 0) candidate = item;
  }
  if (!inserted) SetHasChildren(node, false);
  ContinueRestore(candidate);
}

void CCvServerAdminPropPage::FillTreeList(QTreeWidgetItem* node) {
  const QString target = RestoreTarget();
  CDirContext context;
  std::set<QString> seen;
  std::uint32_t connection = 0;
  if (CvGetDefaultConnection(&connection) != 0) return;
  QTreeWidgetItem* candidate = nullptr;
  std::uint32_t index = kScanStart;
  for (int step = 0; step < kMaxScanSteps; ++step) {
    char name[kCvDirTreeNameSize] = {};
    if (CvScanTrees(context.m_hContext, connection, "*", &index, name) != 0) break;
    const QString text = FromLibrary(name, sizeof name);
    if (!seen.insert(text).second) continue;
    QTreeWidgetItem* item = InsertItem(node, text, firstFreeImage_ + kTreeImage);
    if (!target.isEmpty() && text == target) candidate = item;
  }
  ContinueRestore(candidate);
}

void CCvServerAdminPropPage::FillContainer(QTreeWidgetItem* item) {
  const QString target = RestoreTarget();
  // The tree item, and the container's dotted name below it.
  QTreeWidgetItem* treeItem = nullptr;
  QString dotted;
  auto isTree = [this](const QTreeWidgetItem* i) { return i->parent() && i->parent()->text(0) == directoryServices_; };
  if (isTree(item)) {
    treeItem = item;
  } else {
    dotted = item->text(0);
    for (QTreeWidgetItem* a = item->parent(); a; a = a->parent()) {
      if (isTree(a)) {
        treeItem = a;
        break;
      }
      dotted += QLatin1Char('.') + a->text(0);
    }
  }
  if (!treeItem) return;
  const CDirName name(ToLibrary(treeItem->text(0)), ToLibrary(dotted));
  CDirContext context(name);  // raises the directory error when it cannot be prepared
  const std::string container = context.GetContainerName();

  QTreeWidgetItem* candidate = nullptr;
  bool inserted = false;
  // The children go into the tree together when the fill ends, however it
  // ends: one insertion for the lot costs far less than one each.
  std::vector<NewChild> children;
  struct Insert {
    CCvServerAdminPropPage* page;
    QTreeWidgetItem* parent;
    std::vector<NewChild>& children;
    ~Insert() { page->InsertSorted(parent, children); }
  } insertAtEnd{this, item, children};
  std::uint32_t iteration = kScanStart;
  for (int batch = 0;; ++batch) {
    if (batch == kMaxListBatches) {
      CloseListing(context.m_hContext, iteration);
      return;
    }
    if (CvListContainer(context.m_hContext, container.c_str(), &iteration, buffer_.m_hBuffer) != 0) {
      CloseListing(context.m_hContext, iteration);
      return;
    }
    std::uint32_t count = 0;
    if (CvGetObjectCount(context.m_hContext, buffer_.m_hBuffer, &count) != 0) {
      CloseListing(context.m_hContext, iteration);
      return;
    }
    if (count == 0) SetHasChildren(item, false);
    for (std::uint32_t i = 0; i < count; ++i) {
      char objectName[kCvDirObjectNameSize] = {};
      std::uint32_t attributes = 0;
      CvObjectInfo info{};
      if (CvGetObjectName(context.m_hContext, buffer_.m_hBuffer, objectName, &attributes, &info) != 0) {
        CloseListing(context.m_hContext, iteration);
        return;
      }
      const QString cls = FromLibrary(info.baseClass, sizeof info.baseClass);
      if (cls != kcpServerClass_ && cls != organizationClass_ && cls != unitClass_ && cls != countryClass_ &&
          cls != localityClass_) {
        continue;
      }
      // Only the object's own name: a longer one would break the dotted names
      // built from the items.
      QString text = FromLibrary(objectName, sizeof objectName);
      text.truncate(text.indexOf(QLatin1Char('.')) < 0 ? text.size() : text.indexOf(QLatin1Char('.')));
      if (text.isEmpty() || text.contains(QLatin1Char('\\'))) continue;
      QTreeWidgetItem* child = MakeItem(text, ClassImageIndex(cls), cls == kcpServerClass_ ? kServerItemValue : 0);
      if (cls == kcpServerClass_) SetHasChildren(child, false);  // a server holds nothing to browse
      children.push_back({text, child});
      inserted = true;
      if (restoring_ && text.compare(target, Qt::CaseInsensitive) == 0) candidate = child;
    }
    if (iteration == kScanStart) break;
  }
  if (!inserted) SetHasChildren(item, false);
  InsertSorted(item, children);
  ContinueRestore(candidate);
}

void CCvServerAdminPropPage::OnSelChanged(QTreeWidgetItem* item) {
  if (!item) return;
  if (item->data(0, kValueRole).toUInt() == kServerItemValue) SetModifiedFlag(true);
  if (item->text(0) == corvaneServices_) return;

  QString dotted = item->text(0);
  QTreeWidgetItem* x = nullptr;
  QTreeWidgetItem* y = nullptr;
  QTreeWidgetItem* n = item->parent();
  while (n) {
    QTreeWidgetItem* p = n->parent();
    if (!p) {
      x = item;
      y = item->parent();
      break;
    }
    if (p->text(0) == directoryServices_) {
      x = n;
      y = p;
      break;
    }
    if (p->text(0) != corvaneServices_) dotted += QLatin1Char('.') + n->text(0);
    n = p;
  }
  if (!n) {  // a top-level item other than the root
    x = item;
    y = nullptr;
  }
  if (y && y->text(0) == directoryServices_) {
    const CDirName name(ToLibrary(x->text(0)), ToLibrary(dotted));
    fullName_ = QStringLiteral("CDS:") + QString::fromStdString(name.GetPath());
  } else if (y && y->text(0) == corvaneServers_) {
    fullName_ = QStringLiteral("\\\\") + x->text(0);
    SetModifiedFlag(true);
  } else {
    fullName_.clear();
  }
}

}  // namespace cvsrva
