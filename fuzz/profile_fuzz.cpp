// Profile files: any bytes read without failing, and a write of a safe value
// reads back as that value with the other sections unchanged.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "profile/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string file = "/tmp/profile_fuzz_" + std::to_string(::getpid()) + ".ini";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  auto sections = profile::GetPrivateProfileSectionNames(file);
  for (const auto& s : sections) profile::GetPrivateProfileKeys(s, file);
  if (profile::WritePrivateProfileString("Fuzz", "Key", "value", file) &&
      profile::GetPrivateProfileString("Fuzz", "Key", "", file) != "value")
    std::abort();
  return 0;
}
