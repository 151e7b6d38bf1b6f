#include "console/memotext.h"

#include <algorithm>
#include <cstddef>

#include "console/errors.h"
#include "console/synmemo.h"

// Scintilla's loader interface, declared as the library declares it (in the
// global namespace): a document filled block by block, then handed over as a
// document pointer with one reference. QScintilla does not install the
// header.
class ILoader {
 public:
  virtual int Release() = 0;
  // Returns a status code from SC_STATUS_*.
  virtual int AddData(const char* data, std::ptrdiff_t length) = 0;
  virtual void* ConvertToDocument() = 0;
};

namespace console {
namespace {

QString NoMemory() { return QStringLiteral("There is not enough memory for the text."); }

class MemoFill : public TextStore::Fill {
 public:
  explicit MemoFill(ILoader* loader) : loader_(loader) {}
  MemoFill(const MemoFill&) = delete;
  MemoFill& operator=(const MemoFill&) = delete;
  ~MemoFill() override {
    if (loader_) loader_->Release();
  }

  void Append(std::string_view bytes) override {
    // In pieces that every Scintilla position type holds.
    constexpr std::size_t kPiece = std::size_t{1} << 30;
    while (!bytes.empty()) {
      const std::size_t n = std::min(bytes.size(), kPiece);
      if (loader_->AddData(bytes.data(), static_cast<std::ptrdiff_t>(n)) != QsciScintillaBase::SC_STATUS_OK)
        throw EFileError(NoMemory());
      bytes.remove_prefix(n);
    }
  }

  // The filled document; its reference passes to the caller.
  void* TakeDocument() {
    void* doc = loader_->ConvertToDocument();
    loader_ = nullptr;
    return doc;
  }

 private:
  ILoader* loader_;
};

int EolMode(LineBreak style) {
  switch (style) {
    case LineBreak::Lf:
      return QsciScintillaBase::SC_EOL_LF;
    case LineBreak::Cr:
      return QsciScintillaBase::SC_EOL_CR;
    case LineBreak::CrLf:
      break;
  }
  return QsciScintillaBase::SC_EOL_CRLF;
}

}  // namespace

std::unique_ptr<TextStore::Fill> MemoText::BeginFill(std::uint64_t sizeHint) {
  // Room for the whole file and one more block, so that the text is not
  // moved to a larger buffer on the last block (or on a little growth of a
  // log that is being written).
  const std::uint64_t room = sizeHint + Document::kBlockSize + 1;
  long options = QsciScintillaBase::SC_DOCUMENTOPTION_STYLES_NONE;
  if (room >= 0x7fffffffU) options |= QsciScintillaBase::SC_DOCUMENTOPTION_TEXT_LARGE;
  auto* loader = reinterpret_cast<ILoader*>(
      memo_.SendScintilla(QsciScintillaBase::SCI_CREATELOADER, static_cast<unsigned long>(room), options));
  if (!loader) throw EFileError(NoMemory());
  return std::make_unique<MemoFill>(loader);
}

void MemoText::Show(std::unique_ptr<Fill> fill, LineBreak style) {
  memo_.ShowDocument(static_cast<MemoFill&>(*fill).TakeDocument(), EolMode(style));
}

std::string_view MemoText::Bytes() {
  const long length = memo_.SendScintilla(QsciScintillaBase::SCI_GETLENGTH);
  if (length <= 0) return {};
  const auto* bytes = static_cast<const char*>(memo_.SendScintillaPtrResult(QsciScintillaBase::SCI_GETCHARACTERPOINTER));
  return {bytes, static_cast<std::size_t>(length)};
}

void MemoText::SetReadOnly(bool readOnly) { memo_.setReadOnly(readOnly); }

void MemoText::MarkSaved() { memo_.SendScintilla(QsciScintillaBase::SCI_SETSAVEPOINT); }

}  // namespace console
