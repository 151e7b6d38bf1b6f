// Makes the README's picture of the server browse page: the property frame of
// the control, bound to SRV1 in the test tree ACME (a private slapd and a
// cvserverd, as in the page's tests), opened along the path to SRV1. Run it on a
// display with a window manager (Xvfb and openbox); it saves the frame with
// its window decoration to the file named by its argument.
//
// With --full-name NAME it starts nothing and opens the page on NAME through
// the client configuration in CORVANE_CLIENT (the demo's, for instance).
#include <QApplication>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>

#include "browsepage.h"
#include "corvane/agent_harness.h"
#include "ctrl.h"
#include "ole/com.h"
#include "ole/dispatch.h"
#include "ole/factory.h"
#include "olectl/site.h"
#include "support/slapd_fixture.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const bool own = argc == 2;
  if (argc != 2 && !(argc == 4 && std::string(argv[1]) == "--full-name")) {
    std::fprintf(stderr, "usage: browse_screenshot [--full-name NAME] FILE.png\n");
    return 1;
  }
  const QString file = QString::fromLocal8Bit(argv[argc - 1]);
  const std::string fullName = own ? "CDS:\\\\ACME\\ACME\\SALES\\SRV1" : argv[2];
  ole::RegisterBuiltinClass(cvsrva::CLSID_CvSrvAdm, ole::StaticClassObject<cvsrva::CCvServerAdminCtrl>);
  ole::RegisterBuiltinClass(cvsrva::CLSID_CvServerAdminPropPage,
                            ole::StaticClassObject<cvsrva::CCvServerAdminPropPage>);
  std::optional<cvtest::AgentProcess> agent;
  std::optional<testsupport::Slapd> slapd;
  if (own) {
    agent.emplace();
    slapd.emplace(20);
    if (!agent->Start() || !slapd->Start("127.0.0.1:" + std::to_string(agent->port()))) {
      std::fprintf(stderr, "the agent or slapd did not start\n");
      return 1;
    }
    agent->WriteClientIni("ADMIN");
    std::ofstream(agent->dir() / "client.ini", std::ios::app) << "[Trees]\nACME=" << slapd->treeUrl() << "\n";
  }

  ole::ctl::OleControlSite site;
  site.SetUserMode(true);
  if (FAILED(site.CreateControl(cvsrva::CLSID_CvSrvAdm))) return 1;
  try {
    static_cast<cvsrva::CCvServerAdminCtrl*>(site.Dispatch())->SetFullName(fullName);
  } catch (const ole::DispatchException& e) {
    std::fprintf(stderr, "FullName %s: %s\n", fullName.c_str(), e.description.c_str());
    return 1;
  }

  bool saved = false;
  int ticks = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    QWidget* frame = QApplication::activeModalWidget();
    if (!frame || frame->objectName() != QLatin1String("OlePropertyFrame")) return;
    if (++ticks < 15) return;  // let the window manager place and decorate it
    const QRect area = frame->frameGeometry();
    saved = frame->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).save(file);
    frame->findChild<QPushButton*>(QStringLiteral("Cancel"))->click();
  });
  timer.start(100);
  site.DoVerb(OLEIVERB_PROPERTIES);
  return saved ? 0 : 1;
}
