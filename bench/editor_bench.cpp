// Opening big access logs in the console's log view and in its editor, next
// to `vim -R` on the same files: the time until the file is shown and the
// peak memory of the process. Each open runs in a process of its own (this
// program started again with --open FILE or --log FILE, or vim), so that its
// peak resident size is its own; the logs (100 MB, 1 GB and 4 GB) are
// generated once into a temporary folder and removed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "console/document.h"
#include "console/logview.h"
#include "console/memotext.h"
#include "console/synmemo.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The child's Qt application, drawing offscreen.
struct OffscreenApp {
  bool offscreen = ::setenv("QT_QPA_PLATFORM", "offscreen", 1) == 0;
  int argc = 1;
  char name[13] = "editor_bench";
  char* argv[2] = {name, nullptr};
  QApplication app{argc, argv};
};

// The child's side: open the file read-only in the editor as View access_log
// does, paint the first screen, and report the seconds that took.
int OpenInEditor(const char* path) {
  OffscreenApp app;
  console::TSynMemo memo;
  memo.resize(745, 449);
  console::MemoText text(memo);
  console::Document doc(text);
  const Clock::time_point start = Clock::now();
  if (*path) doc.Load(QString::fromLocal8Bit(path), console::Document::Access::ReadOnly);
  memo.grab();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%.6f %d\n", seconds, memo.lines());
  return 0;
}

// The child's side for the log view: open the file as View access_log does,
// paint the first screen, go to the last line (Ctrl+End) and paint it, then
// wait for the line count. Reports the seconds from the start of the open to
// each of the three, and the number of lines.
int OpenInLogView(const char* path) {
  OffscreenApp app;
  console::TSynMemo memo;
  console::TLogView view;
  view.FollowLook(memo);
  view.resize(745, 449);
  const auto since = [](Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); };
  const Clock::time_point start = Clock::now();
  view.Open(QString::fromLocal8Bit(path));
  view.grab();
  const double first = since(start);
  QKeyEvent end(QEvent::KeyPress, Qt::Key_End, Qt::ControlModifier);
  QApplication::sendEvent(&view, &end);
  view.grab();
  const double last = since(start);
  if (!view.Log()->WaitIndexed(600000)) return 1;
  const double counted = since(start);
  view.grab();
  std::printf("%.6f %.6f %.6f %llu\n", first, last, counted,
              static_cast<unsigned long long>(view.Log()->LineCount().value_or(0)));
  return 0;
}

// The folder of generated logs, removed at the end.
class Logs {
 public:
  Logs() {
    std::string tmpl = (fs::temp_directory_path() / "ww-bench-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    dir_ = tmpl;
  }
  ~Logs() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  // An access log of about megabytes MB in the combined log format.
  const std::string& Log(int megabytes) {
    std::string& path = logs_[megabytes];
    if (!path.empty()) return path;
    path = (dir_ / ("access_log." + std::to_string(megabytes))).string();
    std::mt19937 engine(static_cast<std::mt19937::result_type>(megabytes));
    const auto rng = [&engine] { return static_cast<unsigned>(engine()); };
    std::string chunk;
    char line[400];
    for (int i = 0; i < 20000; ++i) {
      const int n = std::snprintf(
          line, sizeof line,
          "10.%u.%u.%u - - [07/Dec/2026:%02u:%02u:%02u +0100] \"GET /site/page%u.html HTTP/1.1\" %u %u "
          "\"https://www.example.org/start\" \"Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101\"\n",
          rng() % 256, rng() % 256, rng() % 256, rng() % 24, rng() % 60, rng() % 60, rng() % 5000,
          rng() % 8 ? 200u : 404u, 100 + rng() % 90000);
      chunk.append(line, static_cast<std::size_t>(n));
    }
    std::ofstream out(path, std::ios::binary);
    const std::uint64_t size = std::uint64_t(megabytes) << 20;
    for (std::uint64_t done = 0; done < size; done += chunk.size()) out.write(chunk.data(), std::streamsize(chunk.size()));
    return path;
  }

 private:
  fs::path dir_;
  std::map<int, std::string> logs_;
};

Logs& TheLogs() {
  static Logs logs;
  return logs;
}

struct Run {
  bool ok = false;
  double wallSeconds = 0;
  long peakKb = 0;
  std::string output;
};

// Runs argv to its end with standard input from /dev/null and standard
// output collected; its peak resident size comes from wait4.
Run Spawn(const std::vector<std::string>& args) {
  Run run;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const Clock::time_point start = Clock::now();
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    return run;
  }
  char buffer[512];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) run.output.append(buffer, std::size_t(n));
  ::close(out[0]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  run.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.peakKb = usage.ru_maxrss;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

std::string Self() { return fs::read_symlink("/proc/self/exe").string(); }

void Report(benchmark::State& state, const Run& run, std::uint64_t fileBytes) {
  state.SetIterationTime(run.wallSeconds);
  state.counters["peak_MB"] = double(run.peakKb) / 1024;
  if (fileBytes) {
    state.counters["peak_per_file"] = double(run.peakKb) * 1024 / double(fileBytes);
    state.SetBytesProcessed(state.bytes_processed() + std::int64_t(fileBytes));
  }
}

// The console's editor: args 0 = empty editor, else the log's size in MB.
void BM_ConsoleOpen(benchmark::State& state) {
  const int megabytes = int(state.range(0));
  const std::string file = megabytes ? TheLogs().Log(megabytes) : std::string();
  const std::uint64_t bytes = megabytes ? fs::file_size(file) : 0;
  for (auto _ : state) {
    const Run run = Spawn({Self(), "--open", file});
    double loadSeconds = 0;
    if (!run.ok || std::sscanf(run.output.c_str(), "%lf", &loadSeconds) != 1)
      return state.SkipWithError("the editor did not open the file");
    Report(state, run, bytes);
    state.counters["in_editor_s"] = loadSeconds;
  }
}
BENCHMARK(BM_ConsoleOpen)->Arg(0)->Arg(100)->Arg(1024)->Iterations(1)->Repetitions(3)->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConsoleOpen)->Arg(4096)->Iterations(1)->Repetitions(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The log view: args = the log's size in MB.
void BM_LogViewOpen(benchmark::State& state) {
  const int megabytes = int(state.range(0));
  const std::string file = TheLogs().Log(megabytes);
  const std::uint64_t bytes = fs::file_size(file);
  for (auto _ : state) {
    const Run run = Spawn({Self(), "--log", file});
    double first = 0, last = 0, counted = 0;
    unsigned long long lines = 0;
    if (!run.ok || std::sscanf(run.output.c_str(), "%lf %lf %lf %llu", &first, &last, &counted, &lines) != 4)
      return state.SkipWithError("the log view did not open the file");
    Report(state, run, bytes);
    state.counters["first_screen_ms"] = first * 1000;
    state.counters["last_line_ms"] = last * 1000;
    state.counters["index_s"] = counted;
    state.counters["index_GBps"] = double(bytes) / (1 << 30) / std::max(counted, 1e-9);
    state.counters["lines"] = double(lines);
  }
}
BENCHMARK(BM_LogViewOpen)->Arg(100)->Arg(1024)->Iterations(1)->Repetitions(3)->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LogViewOpen)->Arg(4096)->Iterations(1)->Repetitions(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// vim -R on the same file, leaving as soon as the file is read.
void BM_VimOpen(benchmark::State& state) {
  if (::system("command -v vim >/dev/null 2>&1") != 0) return state.SkipWithError("vim is not installed");
  const int megabytes = int(state.range(0));
  const std::string file = TheLogs().Log(megabytes);
  const std::uint64_t bytes = fs::file_size(file);
  for (auto _ : state) {
    const Run run = Spawn({"vim", "-R", "-n", "-u", "NONE", "-i", "NONE", "-N", "-es", "+q", file});
    if (!run.ok) return state.SkipWithError("vim failed");
    Report(state, run, bytes);
  }
}
BENCHMARK(BM_VimOpen)->Arg(100)->Arg(1024)->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VimOpen)->Arg(4096)->Iterations(1)->Repetitions(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--open") == 0) return OpenInEditor(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--log") == 0) return OpenInLogView(argv[2]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
