// The control's string table.
#pragma once

#include <string_view>

namespace cvsrva {

inline constexpr unsigned IDS_CVSERVERADMIN = 1;       // type name of the control
inline constexpr unsigned IDS_CVSERVERADMIN_PPG = 2;   // type name of the property page
inline constexpr unsigned IDS_FULLNAME_PPG_CAPTION = 100;  // caption of the property page
inline constexpr unsigned IDS_CLASS_FIRST = 120;       // 120..156: the class names of the image table
inline constexpr unsigned IDS_COUNTRY = 132;
inline constexpr unsigned IDS_LOCALITY = 137;
inline constexpr unsigned IDS_KCP_SERVER = 139;        // base class of a server's directory object
inline constexpr unsigned IDS_ORGANIZATION = 142;
inline constexpr unsigned IDS_ORGANIZATIONAL_UNIT = 145;
inline constexpr unsigned IDS_CORVANE_SERVICES = 202;  // the browse tree's root
inline constexpr unsigned IDS_CORVANE_SERVERS = 203;
inline constexpr unsigned IDS_VELTRANE_DIRECTORY = 204;
inline constexpr unsigned IDS_DIRECTORY_API_ERROR = 600;
inline constexpr unsigned IDS_CORVANE_ERROR = 1342;
inline constexpr unsigned IDS_CDS_PREFIX = 1344;

// The text of a string resource; empty for an id the table does not hold.
std::string_view LoadString(unsigned id);

}  // namespace cvsrva
