// cvserverd: the Corvane server agent.
#include <spdlog/spdlog.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "corvane/server/agent.h"
#include "corvane/server/audit.h"
#include "corvane/server/audit_verify.h"
#include "corvane/server/config.h"
#include "corvane/server/logging.h"
#include "corvane/server/parameters.h"
#include "corvane/server/sdnotify.h"
#include "corvane/server/tls.h"
#include "corvane/wire/scram.h"
#include "ww_version.h"

namespace {

constexpr const char* kVersion = "cvserverd " WW_VERSION " (agent protocol 2, TLS 1.3)";

void Usage(std::FILE* out) {
  std::fputs(
      "usage: cvserverd --config FILE     run the server agent\n"
      "       cvserverd hash-password [--iterations N]\n"
      "                                   read a password on stdin, print its SCRAM-SHA-256\n"
      "                                   verifier for a [[user]] password\n"
      "       cvserverd fingerprint --config FILE\n"
      "                                   print the SHA-256 fingerprint of the server's\n"
      "                                   certificate\n"
      "       cvserverd audit-verify [--config FILE] [--certificate PEM]... AUDIT-FILE...\n"
      "                                   check an audit trail's chain and signatures (rotated\n"
      "                                   files in any order) against the certificate FILE\n"
      "                                   names (default /etc/cvserverd/cvserverd.toml, unless\n"
      "                                   only --certificate is given) and each PEM given,\n"
      "                                   such as the one a renewed certificate replaced\n"
      "       cvserverd --help | --version\n"
      "A running agent re-reads its configuration on SIGHUP (systemctl reload cvserverd).\n",
      out);
}

int HashPassword(int argc, char** argv) {
  std::uint32_t iterations = cvwire::kDefaultIterations;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--iterations" && i + 1 < argc) {
      const std::string v = argv[++i];
      auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), iterations);
      if (ec != std::errc() || p != v.data() + v.size() || iterations < cvwire::kMinIterations ||
          iterations > cvwire::kMaxIterations) {
        std::fprintf(stderr, "cvserverd: --iterations takes %u..%u\n", cvwire::kMinIterations,
                     cvwire::kMaxIterations);
        return 2;
      }
    } else {
      Usage(stderr);
      return 2;
    }
  }
  if (isatty(STDIN_FILENO)) std::fputs("Password: ", stderr);
  std::string password;
  if (!std::getline(std::cin, password) || password.empty()) {
    std::fputs("cvserverd: no password given\n", stderr);
    return 1;
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  std::puts(cvwire::scram::FormatVerifier(cvwire::scram::MakeVerifier(password, iterations)).c_str());
  return 0;
}

int PrintFingerprint(const std::string& configPath) {
  std::string error;
  auto config = cvserver::LoadConfig(configPath, error);
  std::optional<cvserver::Identity> identity;
  // Never makes the agent's own pair: run as another user (root, say) it
  // would leave files the agent's user cannot read.
  if (config) identity = cvserver::LoadIdentity(*config, error, false);
  if (!identity) {
    std::fprintf(stderr, "cvserverd: %s: %s\n", configPath.c_str(), error.c_str());
    return 1;
  }
  std::printf("%s\n", identity->fingerprint.c_str());
  return 0;
}

// Exit status: 0 intact, 1 a record does not fit, 3 records follow the
// last checkpoint, 2 bad arguments or no key.
int AuditVerify(int argc, char** argv) {
  std::optional<std::string> configPath;
  std::vector<std::string> certificates;
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--config" && i + 1 < argc) {
      configPath = argv[++i];
    } else if (arg == "--certificate" && i + 1 < argc) {
      certificates.push_back(argv[++i]);
    } else if (arg.starts_with("--")) {
      Usage(stderr);
      return 2;
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) {
    Usage(stderr);
    return 2;
  }
  if (configPath || certificates.empty()) {
    const std::string path = configPath.value_or("/etc/cvserverd/cvserverd.toml");
    std::string error;
    auto config = cvserver::LoadConfig(path, error);
    if (!config) {
      std::fprintf(stderr, "cvserverd: %s: %s\n", path.c_str(), error.c_str());
      return 2;
    }
    certificates.insert(certificates.begin(), cvserver::TlsFiles(*config).certificate);
  }
  std::vector<std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)>> owned;  // the keys that keys point to
  std::vector<cvserver::TrailKey> keys;
  for (const auto& certificate : certificates) {
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(nullptr, EVP_PKEY_free);
    std::string fingerprint = cvserver::CertificateFingerprint(certificate, &key);
    if (fingerprint.empty() || !key) {
      std::fprintf(stderr, "cvserverd: cannot read the certificate %s\n", certificate.c_str());
      return 2;
    }
    keys.push_back({key.get(), std::move(fingerprint)});
    owned.push_back(std::move(key));
  }
  const auto verdict = cvserver::VerifyTrail(cvserver::TrailOrder(files), keys);
  switch (verdict.status) {
    case cvserver::AuditVerdict::Status::Intact:
      std::printf("intact: %s\n", verdict.message.c_str());
      return 0;
    case cvserver::AuditVerdict::Status::Unfinished:
      std::printf("unfinished: %s\n", verdict.message.c_str());
      return 3;
    case cvserver::AuditVerdict::Status::Broken:
      std::printf("broken: %s\n", verdict.message.c_str());
      return 1;
  }
  return 1;
}

bool CheckVolume(const std::string& volume, std::string& why) {
  if (volume.empty()) {
    why = "[server] volume is missing";
    return false;
  }
  struct stat st {};
  if (::stat(volume.c_str(), &st) != 0) {
    why = "the volume " + volume + " cannot be reached: " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    why = "the volume " + volume + " is not a folder";
    return false;
  }
  if (::access(volume.c_str(), R_OK | X_OK) != 0) {
    why = "the volume " + volume + " cannot be read: " + std::strerror(errno);
    return false;
  }
  return true;
}

// Each client connection holds a descriptor: the soft limit on open files
// (often 1,024) goes up to the hard one, which the service's LimitNOFILE=
// sets.
void RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      spdlog::warn("cannot raise the open-file limit above {}", before);
      return;
    }
  }
  spdlog::info("open-file limit {}", static_cast<unsigned long long>(limit.rlim_cur));
}

int Run(const std::string& configPath) {
  // A SIGHUP during start-up must not end the agent; the handler below
  // takes over once the event loop exists (modules get default dispositions).
  std::signal(SIGHUP, SIG_IGN);
  spdlog::info("{} starting", kVersion);
  RaiseOpenFileLimit();
  std::string error;
  auto config = cvserver::LoadConfig(configPath, error);
  if (!config) {
    spdlog::critical("{}: {}", configPath, error);
    return 1;
  }
  // The volume holds the modules and command files: without it the agent
  // could only refuse every load.
  std::string why;
  if (!CheckVolume(config->volume, why)) {
    spdlog::critical("{}: {}", configPath, why);
    return 1;
  }
  cvserver::ParameterStore parameters;
  if (!parameters.Open(config->state, config->parameters, error)) {
    spdlog::critical("{}", error);
    return 1;
  }
  // Before any thread starts: the modules (the call service's AUDIT.TAIL)
  // find the trail through the environment they inherit.
  cvserver::AuditTrail audit;
  {
    const cvserver::IdentityFiles tlsFiles = cvserver::TlsFiles(*config);
    // The agent's own pair is made by Agent::Start: made first here when
    // missing, so that the start can be signed.
    if (tlsFiles.own) {
      const auto identity = cvserver::LoadIdentity(*config, error);
      if (!identity) {
        spdlog::critical("{}", error);
        return 1;
      }
      if (identity->made) {
        spdlog::info("made a key {} and a self-signed certificate {}", tlsFiles.key, tlsFiles.certificate);
      }
    }
    if (!audit.Open(config->audit, tlsFiles.key, tlsFiles.certificate, error)) {
      spdlog::critical("{}", error);
      return 1;
    }
    if (audit.enabled()) ::setenv("CV_AUDIT_FILE", audit.file().c_str(), 1);
    audit.Checkpoint("start");
    audit.StartWriter();
  }
  cvserver::SupervisorConfig supervisorConfig;
  supervisorConfig.volume = config->volume;
  supervisorConfig.searchPath = config->searchPath;
  supervisorConfig.runDir = config->runDir;
  cvserver::ModuleSupervisor modules(supervisorConfig);

  // One thread runs the loop: handlers it posts for itself skip the lock
  // and the wake-up of the reactor.
  asio::io_context io(1);
  asio::signal_set hangup(io, SIGHUP);
  cvserver::Agent agent(io, *config, parameters, modules);
  agent.SetAudit(&audit);
  if (!agent.Start(error)) {
    spdlog::critical("{}", error);
    audit.Checkpoint("stop");
    return 1;
  }
  // SIGHUP (systemctl reload) re-reads the configuration; one that does not
  // load leaves the running one as it is.
  std::function<void()> awaitHangup = [&] {
    hangup.async_wait([&](const std::error_code& ec, int) {
      if (ec) return;
      cvserver::NotifyServiceManager("RELOADING=1");
      spdlog::info("SIGHUP: re-reading {}", configPath);
      std::string reloadError;
      auto fresh = cvserver::LoadConfig(configPath, reloadError);
      const bool reloaded = fresh && agent.Reload(*fresh, reloadError);
      if (!reloaded) {
        spdlog::error("{}: {}; the configuration in use stays as it was", configPath, reloadError);
      } else {
        const auto files = cvserver::TlsFiles(*fresh);
        audit.Rekey(files.key, files.certificate);
      }
      audit.Reload(configPath, reloaded, reloadError);
      cvserver::NotifyServiceManager("READY=1");
      awaitHangup();
    });
  };
  awaitHangup();
  asio::signal_set signals(io, SIGTERM, SIGINT);
  signals.async_wait([&](const std::error_code& ec, int signal) {
    if (ec) return;
    spdlog::info("signal {}: stopping", signal);
    cvserver::NotifyServiceManager("STOPPING=1");
    hangup.cancel();
    agent.Stop();
    modules.StopAll();
    io.stop();
  });
  cvserver::NotifyServiceManager("READY=1");
  io.run();
  agent.Stop();  // the module worker has ended before the modules stop
  modules.StopAll();
  parameters.Close();
  audit.Checkpoint("stop");
  spdlog::info("server {} stopped", config->name);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  cvserver::SetUpLogging();
  if (argc >= 2) {
    const std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h") {
      Usage(stdout);
      return 0;
    }
    if (cmd == "--version") {
      std::puts(kVersion);
      return 0;
    }
    if (cmd == "hash-password") return HashPassword(argc, argv);
    if (cmd == "audit-verify") return AuditVerify(argc, argv);
    if (cmd == "fingerprint" && argc == 4 && std::string(argv[2]) == "--config") return PrintFingerprint(argv[3]);
    if (cmd == "--config" && argc == 3) {
      try {
        return Run(argv[2]);
      } catch (const std::exception& e) {
        spdlog::critical("{}", e.what());
        return 1;
      }
    }
  }
  Usage(stderr);
  return 2;
}
