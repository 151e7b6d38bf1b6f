// The identifiers of CVSRVA: its type library, classes, interfaces, ProgIDs
// and dispids.
#pragma once

#include "ole/guid.h"
#include "ole/interfaces.h"

namespace cvsrva {

inline constexpr GUID LIBID_CvSrvAdmLib = MakeGuid("{EC747AF0-8EF6-11D0-B375-0000E20315E2}");
inline constexpr WORD kLibMajor = 1;
inline constexpr WORD kLibMinor = 3;
inline constexpr LCID kLibLcid = 0x0409;
inline constexpr CLSID CLSID_CvSrvAdm = MakeGuid("{EC747AF1-8EF6-11D0-B375-0000E20315E2}");
inline constexpr IID DIID__DCvServerAdmin = MakeGuid("{EC747AF2-8EF6-11D0-B375-0000E20315E2}");
inline constexpr IID DIID__DCvServerAdminEvents = MakeGuid("{EC747AF3-8EF6-11D0-B375-0000E20315E2}");
inline constexpr CLSID CLSID_CvServerAdminPropPage = MakeGuid("{EC747AF4-8EF6-11D0-B375-0000E20315E2}");
inline constexpr IID IID_ICvConnections = MakeGuid("{03F19625-DE06-11D2-90C4-8E9E16F15C06}");
inline constexpr CLSID CLSID_CvConnections = MakeGuid("{03F19626-DE06-11D2-90C4-8E9E16F15C06}");
inline constexpr IID IID_ICvConnection = MakeGuid("{03F19628-DE06-11D2-90C4-8E9E16F15C06}");
inline constexpr CLSID CLSID_CvConnection = MakeGuid("{03F19629-DE06-11D2-90C4-8E9E16F15C06}");

inline constexpr const char* kControlProgId = "CvSrvAdmLib.CvServerAdminCtrl.1";
inline constexpr const char* kPageProgId = "CvSrvAdmLib.CvServerAdminPropPage.1";
inline constexpr const char* kConnectionsProgId = "CvSrvAdmLib.CvConnections";
inline constexpr const char* kConnectionProgId = "CvSrvAdmLib.CvConnection";

inline constexpr CATID CATID_SafeForScripting = MakeGuid("{7DD95801-9882-11CF-9FA9-00AA006C42C4}");
inline constexpr CATID CATID_SafeForInitializing = MakeGuid("{7DD95802-9882-11CF-9FA9-00AA006C42C4}");

// Persisted property-exchange version 1.3.
inline constexpr DWORD kPersistVersion = 0x00010003;
// set-client-site-first, invisible at run time, inside-out, can't link
// inside, recompose on resize.
inline constexpr DWORD kMiscStatus = 0x20491;
inline constexpr int kControlPixels = 28;

enum Dispid : DISPID {
  dispidFullName = 1,
  dispidCorvaneVersion = 2,
  dispidDescription = 3,
  dispidDirectoryInstalled = 4,
  dispidShortName = 5,
  dispidTotalConnections = 6,
  dispidUsedConnections = 7,
  dispidCompany = 8,
  dispidActiveConnections = 9,
  dispidExecuteProfile = 10,
  dispidLoadQRX = 11,
  dispidUnloadQRX = 12,
  dispidCall = 13,
  dispidParameters = 14,
};

}  // namespace cvsrva
