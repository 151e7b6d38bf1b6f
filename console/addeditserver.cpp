#include "console/addeditserver.h"

#include <QListWidget>
#include <algorithm>

#include "console/main.h"

namespace console {
namespace {

constexpr ServerFieldLayout kLayout{8, 8, 52, 96, 166, 210, 243};

}  // namespace

QStringList SortedWithoutCase(QStringList names) {
  std::stable_sort(names.begin(), names.end(),
                   [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
  return names;
}

TAddserver::TAddserver(Host& host, TForm1& main)
    : TServerDialog(host, main, "Addserver", "Add/Edit a server configuration", QSize(548, 378), kLayout) {
  AddLabel(Lines({"Be sure to set the right version of apache, because of the different ",
                  "handles between apache 1.3.xx and apache 2.0.xx"}),
           8, 134, true);
  AddLabel(Lines({"If you use QBT please be sure to add the search path to the location ",
                  "of the QBT-files or copy them to sys:system!"}),
           8, 292, true);
  list_ = new QListWidget(this);
  list_->setObjectName(QStringLiteral("ListBox1"));
  list_->setGeometry(384, 24, 121, 185);
  connect(list_, &QListWidget::itemDoubleClicked, this, [this] { Run([this] { ListBox1DblClick(); }); });
  AddLabel(Lines({"To edit an existing server,", "please do a double click", "on the item."}), 384, 216);
  AddSaveAndClose(8, 340);
  FormCreate();
}

void TAddserver::FillList() {
  list_->clear();
  if (Files().server.Exists()) list_->addItems(SortedWithoutCase(Files().server.Sections()));
}

QStringList TAddserver::ListedServers() const {
  QStringList out;
  for (int i = 0; i < list_->count(); ++i) out << list_->item(i)->text();
  return out;
}

void TAddserver::FormCreate() {
  ServerFields f = Fields();
  f.serverName = Files().setting.Read(QString::fromLatin1(kMainSection), QStringLiteral("Servername"));
  if (Files().server.Exists()) LoadServerSection(f, Files().server, f.serverName);
  ShowFields(f);
  FillList();
}

void TAddserver::btSaveClick() {
  ServerFields f = Fields();
  SaveServerSection(f, Files().server);
  ShowFields(f);
  FillList();
}

void TAddserver::btCloseClick() {
  main_.BuildServerMenu();
  hide();
}

void TAddserver::done(int result) {
  // Escape and the title bar's close button end here.
  main_.BuildServerMenu();
  TServerDialog::done(result);
}

void TAddserver::ListBox1DblClick() {
  const QListWidgetItem* item = list_->currentItem();
  if (!item || !item->isSelected()) return;  // nothing picked: the click is ignored
  ServerFields f = Fields();
  f.serverName = TrimBlanks(item->text());
  if (Files().server.Exists()) LoadServerSection(f, Files().server, f.serverName);
  ShowFields(f);
}

}  // namespace console
