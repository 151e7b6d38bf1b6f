#include "console/logoutput.h"

#include <sys/stat.h>

#include <QFile>
#include <QFontMetrics>
#include <QPainter>
#include <QPrinter>
#include <algorithm>
#include <cmath>
#include <vector>

#include "console/errors.h"
#include "console/filesave.h"
#include "console/fonts.h"
#include "console/logfile.h"

namespace console {
namespace {

constexpr std::size_t kChunk = 4 << 20;
// Lines on an A4 page between the margins in Courier New 10 pt, for the
// estimate.
constexpr std::uint64_t kLinesPerPage = 58;
// Pages of the mapping read for printing are let go after this many bytes.
constexpr std::uint64_t kReleaseEvery = 16 << 20;

}  // namespace

void SaveLogAs(const LogFile& log, const QString& path) {
  FileSaver out(path);
  // Rewriting the shown file in place would overwrite bytes not read yet.
  struct stat target {};
  if (out.Chosen() == FileSaver::Method::InPlace && ::stat(QFile::encodeName(path).constData(), &target) == 0 &&
      log.SameFile(target.st_dev, target.st_ino))
    throw EFileError(CreateError(path, QStringLiteral("It is the file shown; save it under another name.")));
  LineWriter writer(log.Break(), [&out](std::string_view piece) { out.Write(piece); });
  std::vector<char> buffer(kChunk);
  const std::uint64_t size = log.Size();
  for (std::uint64_t at = 0; at < size;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - at));
    const std::size_t got = log.ReadAt(at, buffer.data(), want);
    if (got == 0) break;  // shorter now than when it was shown: what is there
    writer.Feed(std::string_view(buffer.data(), got));
    at += got;
  }
  writer.Finish();
  out.Commit();
}

std::uint64_t EstimateLogPages(const LogFile& log) {
  double lines = 0;
  if (const std::optional<std::uint64_t> n = log.LineCount()) {
    lines = double(*n);
  } else {
    const std::uint64_t known = log.KnownLines();
    const std::uint64_t indexed = std::max<std::uint64_t>(log.IndexedBytes(), 1);
    lines = double(log.Size()) * double(known) / double(indexed);
  }
  return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::ceil(lines / kLinesPerPage)));
}

QString LongPrintQuestion(std::uint64_t pages) {
  return QStringLiteral("The printout will have about %1 pages. Print it anyway?").arg(pages);
}

int PrintLog(const LogFile& log, const PrintTarget& target, const QString& header, const QString& footer,
             const QString& title, const PrintLayout& layout) {
  QPrinter printer(QPrinter::HighResolution);
  AimPrinter(printer, target, title);
  const QString where = target.ToPdf() ? target.pdfFile : target.printer;

  QPainter painter;
  if (!painter.begin(&printer)) throw ConsoleError(QStringLiteral("Cannot print to %1.").arg(where));
  const int dpi = printer.resolution();
  const auto mm = [dpi](double v) { return static_cast<int>(v * dpi / 25.4 + 0.5); };
  const QFont font = CourierNew(10);
  painter.setFont(font);
  const QFontMetrics fm(font, &printer);
  const int lh = std::max(1, fm.height());
  const int cw = std::max(1, fm.horizontalAdvance(QLatin1Char('0')));
  const QRect area(QPoint(mm(layout.left), mm(layout.top)),
                   QPoint(printer.width() - mm(layout.right) - 1, printer.height() - mm(layout.bottom) - 1));
  const std::uint64_t lines = log.LineCount().value_or(log.KnownLines());
  const int digits = static_cast<int>(QString::number(lines).size());
  const int numberWidth = (digits + 1) * cw;
  const int columns = std::max(1, (area.width() - numberWidth) / cw);
  const int rowsPerPage = std::max(1, area.height() / lh);

  int page = 1;
  int row = 0;
  DrawHeaderFooter(painter, header, footer, layout, dpi);
  const auto nextRow = [&] {
    if (++row < rowsPerPage) return;
    if (!printer.newPage()) throw ConsoleError(QStringLiteral("Cannot print to %1.").arg(where));
    ++page;
    row = 0;
    DrawHeaderFooter(painter, header, footer, layout, dpi);
  };
  const std::uint64_t size = log.Size();
  std::uint64_t released = 0;
  std::uint64_t number = 1;
  for (std::uint64_t start = 0; size > 0; ++number) {
    const std::uint64_t end = log.LineEnd(start);
    const ShownLine shown =
        ShowLine(log.Bytes(start, std::min(end, start + ShownLine::kShownBytes)), end - start, 8);
    QString text = shown.text;
    if (shown.cut) text += QStringLiteral(" \u2026[line cut: %1 bytes]").arg(end - start);
    const int y = area.top() + row * lh;
    painter.setPen(Qt::darkGray);
    painter.drawText(QRect(area.left(), y, numberWidth - cw, lh), Qt::AlignRight | Qt::AlignVCenter,
                     QString::number(number));
    painter.setPen(Qt::black);
    // Wrapped at the right margin.
    for (qsizetype at = 0;;) {
      const int top = area.top() + row * lh;
      painter.drawText(QPoint(area.left() + numberWidth, top + fm.ascent()), text.mid(at, columns));
      at += columns;
      if (at >= text.size()) break;
      nextRow();
    }
    if (start - released > kReleaseEvery) {
      log.Release(released, start);
      released = start;
    }
    if (end >= size) break;
    nextRow();
    start = log.NextLine(start);
  }
  log.Release(released, size);
  if (!painter.end()) throw ConsoleError(QStringLiteral("Cannot print to %1.").arg(where));
  return page;
}

}  // namespace console
