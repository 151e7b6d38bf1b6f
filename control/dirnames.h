// Directory names and the owners of a directory context and of a request
// buffer.
//
// Two notations: dotted, leaf first, as the client library speaks them
// (JSMITH.SALES.ACME), and backslash paths, root first, as the control shows
// them (\\ACME\ACME\SALES\JSMITH). "[Root]" names the root of a tree. No
// escape character: '.' and '\' always separate components; comparisons are
// case-sensitive and no routine changes letter case.
#pragma once

#include <cstdint>
#include <string>

namespace cvsrva {

// The components of a dotted name in reverse order joined by backslashes:
// JSMITH.SALES.ACME gives ACME\SALES\JSMITH.
std::string PathFromDotted(std::string s);
// The reverse: ACME\SALES\JSMITH gives JSMITH.SALES.ACME.
std::string DottedFromPath(std::string s);
// A path in two-backslash form (\\SALES1), or empty text when not acceptable.
std::string NormalizeServerPath(std::string s);
// A dotted name without surrounding dots, or empty text.
std::string NormalizeDottedName(std::string s);
// A single name component, or empty text.
std::string NormalizeSimpleName(std::string s);

inline constexpr const char* kRootName = "[Root]";

// A name split into its path, tree and dotted name; all three empty when the
// input was not accepted.
class CDirName {
 public:
  CDirName() = default;
  CDirName(const std::string& tree, const std::string& dotted);
  explicit CDirName(const std::string& path);

  std::string GetPath() const { return path_; }
  std::string GetTree() const { return tree_; }
  std::string GetDottedName() const { return dotted_; }
  // The text after the last backslash of the path; empty without one.
  std::string GetLeaf() const;

 private:
  std::string path_;
  std::string tree_;
  std::string dotted_;
};

// Makes a context of the client library whose names come without their
// types, into *context; 0, or the library's code with *context 0 and no
// context left over.
std::uint32_t MakeTypelessContext(std::uint32_t* context);

// Owns one directory context of the client library, prepared for one tree.
class CDirContext {
 public:
  // A context for the library's default tree; container "[Root]".
  CDirContext();
  // A context for name's tree whose names are complete from the root;
  // container = name's dotted name. Raises the directory error on failure
  // (the context made so far is freed).
  explicit CDirContext(const CDirName& name);
  ~CDirContext();
  CDirContext(const CDirContext&) = delete;
  CDirContext& operator=(const CDirContext&) = delete;

  std::string GetContainerName() const { return container_; }

  std::uint32_t m_hContext = 0;  // read by the users of the object for library calls

 private:
  void Prepare();
  std::string container_;
};

// Owns one request or reply buffer of the client library.
class CDirBuffer {
 public:
  explicit CDirBuffer(std::uint32_t size = 0);
  ~CDirBuffer();
  CDirBuffer(const CDirBuffer&) = delete;
  CDirBuffer& operator=(const CDirBuffer&) = delete;

  // Replaces the buffer (size 0: none); raises out of memory on failure.
  void Allocate(std::uint32_t size);

  std::uint32_t m_size = 0;
  std::uint32_t m_hBuffer = 0;
};

}  // namespace cvsrva
