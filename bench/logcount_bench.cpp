// Counting the lines of a warm access log: the log view's counter (LogFile,
// from the open until its index is complete) beside `wc -l` on the same file,
// in the same run. The log (512 MiB of generated combined-format lines) is
// written once into a temporary folder, read once so that it is in the page
// cache, and removed at the end. Run with --benchmark_repetitions=N
// --benchmark_enable_random_interleaving=true to interleave the pair.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "console/logfile.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kSize = std::uint64_t{512} << 20;

struct Log {
  fs::path dir;
  fs::path file;
  std::uint64_t lines = 0;
  Log() {
    char tmpl[] = "/tmp/logcount_bench.XXXXXX";
    dir = ::mkdtemp(tmpl);
    file = dir / "access_log";
    std::ofstream out(file, std::ios::binary);
    std::string block;
    for (int i = 0; block.size() < (1 << 20); ++i) {
      block += "192.168.1." + std::to_string(i % 250) + " - - [08/Dec/2026:12:00:" + std::to_string(10 + i % 50) +
               " +0000] \"GET /files/report-" + std::to_string(i) +
               ".html HTTP/1.1\" 200 5123 \"-\" \"Mozilla/5.0 (X11; Linux x86_64) Firefox/128.0\"\n";
    }
    std::uint64_t blockLines = 0;
    for (char c : block) blockLines += c == '\n';
    for (std::uint64_t at = 0; at < kSize; at += block.size()) {
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
      lines += blockLines;
    }
    out.close();
    // Into the page cache.
    std::vector<char> buf(1 << 20);
    std::FILE* in = std::fopen(file.c_str(), "rb");
    while (in && std::fread(buf.data(), 1, buf.size(), in) > 0) {
    }
    if (in) std::fclose(in);
  }
  ~Log() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

Log& Shared() {
  static Log log;
  return log;
}

void BM_LogFileCount(benchmark::State& state) {
  const Log& log = Shared();
  for (auto _ : state) {
    console::LogFile file(QString::fromStdString(log.file.string()));
    if (!file.WaitIndexed(120000)) return state.SkipWithError("the count did not finish");
    // LineCount counts the last, unterminated line too: the file ends in a break.
    if (file.LineCount() != log.lines + 1) return state.SkipWithError("wrong line count");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_WcL(benchmark::State& state) {
  const Log& log = Shared();
  for (auto _ : state) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string path = log.file.string();
    char wc[] = "wc";
    char l[] = "-l";
    char* argv[] = {wc, l, path.data(), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "wc", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return state.SkipWithError("wc did not start");
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return state.SkipWithError("wc failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

BENCHMARK(BM_LogFileCount)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_WcL)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
