// The editor's text as the document's TextStore. A file loads through
// Scintilla's loader into a fresh document that no view watches while it
// fills (so nothing is styled, recorded for undo or announced per block);
// the editor shows it only once it is complete, and a load that fails or is
// stopped drops it, leaving the editor's text as it was.
#pragma once

#include "console/document.h"

namespace console {

class TSynMemo;

class MemoText : public TextStore {
 public:
  explicit MemoText(TSynMemo& memo) : memo_(memo) {}

  std::unique_ptr<Fill> BeginFill(std::uint64_t sizeHint) override;
  void Show(std::unique_ptr<Fill> fill, LineBreak style) override;
  std::string_view Bytes() override;
  void SetReadOnly(bool readOnly) override;
  void MarkSaved() override;

 private:
  TSynMemo& memo_;
};

}  // namespace console
