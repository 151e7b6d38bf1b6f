// The errors a handler of the console can raise, and the general error report
// that every handler runs inside: an error ends the handler and its text is
// shown in a message box; the program goes on.
#pragma once

#include <QString>
#include <functional>
#include <stdexcept>

#include "ole/types.h"

class QWidget;

namespace console {

class Host;

// An error with a text for the user (UTF-8 in what()).
class ConsoleError : public std::runtime_error {
 public:
  explicit ConsoleError(const QString& text) : std::runtime_error(text.toStdString()) {}
  QString Text() const { return QString::fromUtf8(what()); }
};

// A dispatch exception of an automation object: its 16-bit code (or 0 when
// it gave an SCODE), the SCODE, the source and the description.
class EOleException : public ConsoleError {
 public:
  EOleException(const QString& description, WORD code, SCODE scode, const QString& source)
      : ConsoleError(description), code_(code), scode_(scode), source_(source) {}
  WORD Code() const { return code_; }
  SCODE Scode() const { return scode_; }
  const QString& Source() const { return source_; }

 private:
  WORD code_;
  SCODE scode_;
  QString source_;
};

// Any other failing HRESULT of an automation call.
class EOleSysError : public ConsoleError {
 public:
  EOleSysError(const QString& text, HRESULT hr) : ConsoleError(text), hr_(hr) {}
  HRESULT Result() const { return hr_; }

 private:
  HRESULT hr_;
};

// A file that could not be read or written.
class EFileError : public ConsoleError {
 public:
  using ConsoleError::ConsoleError;
};

// Runs handler; an exception it raises is shown through host with its text,
// titled with the program's name, and ends only this handler.
void GeneralErrorReport(Host& host, QWidget* parent, const std::function<void()>& handler);

}  // namespace console
