// killed_saver FILE BYTES: starts a save of FILE, writes BYTES bytes of new
// content to it, prints the path of its temporary or recovery file and
// "written", then waits to be killed. For tests of saves that never finish.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/errors.h"
#include "console/filesave.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: killed_saver FILE BYTES\n");
    return 2;
  }
  try {
    console::FileSaver out(QString::fromLocal8Bit(argv[1]));
    std::printf("%s\n", out.SidePath().toLocal8Bit().constData());
    const std::string piece(1 << 20, 'n');
    for (long left = std::atol(argv[2]); left > 0; left -= static_cast<long>(piece.size()))
      out.Write(std::string_view(piece).substr(0, static_cast<std::size_t>(std::min<long>(left, piece.size()))));
    std::printf("written\n");
    std::fflush(stdout);
    for (;;) ::pause();
  } catch (const console::ConsoleError& e) {
    std::fprintf(stderr, "%s\n", e.Text().toLocal8Bit().constData());
    return 1;
  }
}
