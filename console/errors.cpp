#include "console/errors.h"

#include "console/host.h"

namespace console {

void GeneralErrorReport(Host& host, QWidget* parent, const std::function<void()>& handler) {
  QString text;
  try {
    handler();
    return;
  } catch (const ConsoleError& e) {
    text = e.Text();
  } catch (const std::exception& e) {
    text = QString::fromUtf8(e.what());
  }
  host.ShowMessage(parent, text);
}

}  // namespace console
