// What the directory operations (ksdir.cpp: contexts, buffers and reply
// elements; ksdir_read.cpp: reads and servers; ksdir_list.cpp: tree scans
// and listings) share: handle look-ups and the buffer's reading position.
// Everything here runs under the library lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "corvane/client/cverrors.h"
#include "corvane/client/dirstate.h"
#include "corvane/client/ksdir.h"
#include "corvane/directory/batch.h"

namespace cvclient::ksdir {

inline constexpr std::size_t kMaxIterations = 256;


DirContext* FindContext(Directory& d, std::uint32_t h);
DirBuffer* FindBuffer(Directory& d, std::uint32_t h);
// The complete dotted name of name with the context's name context.
std::string Complete(const DirContext& c, const char* name);
// Stores bytes as the buffer's content, with the reading position at its start.
void Put(DirBuffer& b, std::vector<std::uint8_t> bytes);
// Ends (done) or keeps an iteration, setting the caller's handle.
std::uint32_t FinishIteration(Directory& d, std::uint32_t handle, std::uint32_t* iteration, bool done);
// The buffer a call that names a context and a buffer works on, or the code
// that refuses the call, and the context when c is given.
std::uint32_t ContextBuffer(Directory& d, std::uint32_t context, std::uint32_t buffer, DirBuffer*& b,
                            DirContext** c = nullptr);
// The entry count of a buffer that holds a batch of the given kind, with the
// cursor set after the header; nothing when it holds something else.
std::optional<std::uint32_t> StartBatch(DirBuffer& b, std::uint8_t kind);

}  // namespace cvclient::ksdir
