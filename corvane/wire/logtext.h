// Text that came from a peer, made safe for a log line: control characters
// (C0, DEL, and C1 written in UTF-8), backslashes and bytes that are not
// UTF-8 are written as escapes, so a name cannot break a line, forge one or
// send terminal sequences; long text is cut with "...".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cvwire {

// \n \r \t and \\ as such; other escaped bytes as \xHH; code points
// U+0080..U+009F as \u00HH. At most limit bytes of text are looked at.
std::string LogText(std::string_view text, std::size_t limit = 256);

}  // namespace cvwire
