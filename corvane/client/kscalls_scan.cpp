// KSCALLS operations over the agent protocol: server parameters, server
// scans, and the call-service operations this client does not serve yet.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "corvane/client/cverrors.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/session.h"

namespace {

using cvclient::Library;
using cvclient::Server;
using cvwire::Msg;
using cvwire::Writer;

using cvclient::Locked;

std::uint32_t FetchParameters(Library& lib, Server& s) {
  s.parameters.clear();
  s.haveParameters = false;
  const std::uint32_t code = cvclient::FetchPages(lib, s, Msg::ParameterList, 0, [&](cvwire::Reader& r) {
    r.U32();  // total
    const std::uint16_t count = r.U16();
    for (std::uint16_t i = 0; i < count && r.ok(); ++i) {
      cvclient::ParameterEntry e;
      e.name = r.Str();
      e.type = r.U32();
      if (e.type == cvwire::kParamText) {
        e.text = r.Str();
      } else {
        e.number = r.U32();
      }
      s.parameters.push_back(std::move(e));
    }
    return r.Done();
  });
  if (code != kCvOk) return code;
  s.haveParameters = true;
  return kCvOk;
}

// '*' any run, '?' any one character, case-insensitive; linear backtracking
// over the last '*' only.
bool Matches(const char* pattern, const char* name) {
  auto same = [](char a, char b) {
    return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
  };
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name) {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' || (*pattern && same(*pattern, *name))) {
      ++pattern;
      ++name;
    } else if (star) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

std::uint32_t SetParameter(std::uint32_t connection, Msg m, const char* name, const char* text, std::int32_t number) {
  if (!name || (m == Msg::SetParameterText && !text)) return kCvErrInvalidArgument;
  Locked l;
  Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  s->haveParameters = false;
  std::optional<cvwire::Reader> r;
  std::vector<std::uint8_t> storage;
  return l.lib.Request(
      *s, m,
      [&](Writer& w) {
        w.Str(name);
        if (m == Msg::SetParameterText) {
          w.Str(text);
        } else {
          w.U32(static_cast<std::uint32_t>(number));
        }
      },
      r, storage);
}

}  // namespace

extern "C" {

CVCLIENT_API std::uint32_t CvScanServerParameter(std::uint32_t connection, std::uint32_t searchIndex,
                                                 CvServerParameter* record) {
  if (!record) return kCvErrInvalidArgument;
  Locked l;
  Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  // A scan from index 0 fetches the whole list; the following indexes are
  // answered from it until a set operation changes the values.
  if (searchIndex == 0 || !s->haveParameters) {
    if (const std::uint32_t code = FetchParameters(l.lib, *s); code != kCvOk) return code;
  }
  if (searchIndex >= s->parameters.size()) return kCvErrNoMoreEntries;
  const auto& e = s->parameters[searchIndex];
  const std::size_t nameLen = std::min<std::size_t>(e.name.size(), kCvParameterAreaSize - 6);
  std::memset(record->nameValue, 0, sizeof record->nameValue);
  std::memcpy(record->nameValue, e.name.data(), nameLen);
  char* value = record->nameValue + nameLen + 1;
  const std::size_t room = kCvParameterAreaSize - nameLen - 1;  // at least 5
  if (e.type == kCvParamTypeText) {
    cvclient::CopyText(value, room, e.text);
  } else {
    for (int i = 0; i < 4; ++i) value[i] = static_cast<char>((e.number >> (8 * i)) & 0xFF);
  }
  record->nextSearchIndex = searchIndex + 1;
  record->valueType = e.type;
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvSetServerParameterText(std::uint32_t connection, const char* name, const char* value) {
  return SetParameter(connection, Msg::SetParameterText, name, value, 0);
}

CVCLIENT_API std::uint32_t CvSetServerParameterNumber(std::uint32_t connection, const char* name,
                                                      std::int32_t value) {
  return SetParameter(connection, Msg::SetParameterNumber, name, nullptr, value);
}

CVCLIENT_API std::uint32_t CvGetPrimaryConnection(std::uint32_t* connection) {
  if (!connection) return kCvErrInvalidArgument;
  Locked l;
  return l.lib.Primary(*connection);
}

CVCLIENT_API std::uint32_t CvGetDefaultConnection(std::uint32_t* connection) {
  if (!connection) return kCvErrInvalidArgument;
  Locked l;
  return l.lib.Primary(*connection);
}

CVCLIENT_API std::uint32_t CvScanObject(std::uint32_t connection, const char* pattern, std::uint16_t searchType,
                                        std::uint32_t* scanPosition, char* name, std::uint16_t* objectType,
                                        std::uint8_t* hasProperties, std::uint8_t* flags, std::uint8_t* security) {
  if (!pattern || !scanPosition || !name) return kCvErrInvalidArgument;
  Locked l;
  Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  if (searchType != kCvObjectTypeServer && searchType != 0xFFFF) {
    *scanPosition = kCvIterationStart;
    return kCvErrNoMoreEntries;
  }
  if (*scanPosition == kCvIterationStart) {
    if (const std::uint32_t code = l.lib.FetchServerInfo(*s); code != kCvOk) return code;
  }
  // The server itself, then the peers it lists.
  std::vector<std::string> names{s->info.name};
  names.insert(names.end(), s->info.peers.begin(), s->info.peers.end());
  std::uint32_t i = *scanPosition == kCvIterationStart ? 0 : *scanPosition + 1;
  for (; i < names.size(); ++i) {
    if (Matches(pattern, names[i].c_str())) {
      *scanPosition = i;
      cvclient::CopyText(name, kCvScanNameSize, names[i]);
      if (objectType) *objectType = kCvObjectTypeServer;
      if (hasProperties) *hasProperties = 0;
      if (flags) *flags = 0;
      if (security) *security = 0x31;
      return kCvOk;
    }
  }
  *scanPosition = kCvIterationStart;
  return kCvErrNoMoreEntries;
}

}  // extern "C"
