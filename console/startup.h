// The console's start: the five windows, created once in their order, and the
// registration of the administration control when it cannot be created.
#pragma once

#include <memory>

namespace console {

class Host;
class TForm1;
class TSettingform;
class Taboutform;
class TAddserver;
class TSave;

struct ConsoleWindows {
  ConsoleWindows();
  ~ConsoleWindows();
  // Destroyed in the reverse order of creation.
  std::unique_ptr<TForm1> main;
  std::unique_ptr<TSettingform> settings;
  std::unique_ptr<Taboutform> about;
  std::unique_ptr<TAddserver> addServer;
  std::unique_ptr<TSave> save;
};

// Creates the windows: main window, settings, About, add/edit server,
// unsaved changes. Throws when one of them fails (the control instances
// are created with their windows).
std::unique_ptr<ConsoleWindows> CreateWindows(Host& host);

inline constexpr const char* kNotRegisteredMessage = "The CVSRVA.OCX was not registrated. It will be done now.";

// Creates the windows; when that fails, says so, registers the program
// folder's CVSRVA.OCX with the program folder's regsvr32, waits for it and
// tries once more. Null when the second try fails too: the reason has been
// shown then. A registry file that cannot be read is named in both messages
// with the line and what is wrong there.
std::unique_ptr<ConsoleWindows> StartConsole(Host& host);

// The whole program: StartConsole, the main window shown centred, the
// message loop. Returns the program's exit status.
int RunConsole(Host& host);

}  // namespace console
