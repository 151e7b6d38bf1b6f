#include "console/printing.h"

#include <Qsci/qsciprinter.h>

#include <QFileInfo>
#include <QFontMetrics>
#include <QPainter>
#include <algorithm>

#include "console/errors.h"
#include "console/fonts.h"

namespace console {
namespace {

// QScintilla's printer with the console's page: the text area inside the
// margins, the header and footer drawn on every page it renders.
class PagePrinter : public QsciPrinter {
 public:
  PagePrinter(const QString& header, const QString& footer, const PrintLayout& layout)
      : QsciPrinter(QPrinter::HighResolution), header_(header), footer_(footer), layout_(layout) {}

  int Pages() const { return pages_; }

  void formatPage(QPainter& painter, bool drawing, QRect& area, int pagenr) override {
    // Full-page mode: device coordinates start at the paper's corner.
    const int width = painter.device()->width();
    const int height = painter.device()->height();
    area = QRect(QPoint(Mm(layout_.left), Mm(layout_.top)),
                 QPoint(width - Mm(layout_.right) - 1, height - Mm(layout_.bottom) - 1));
    if (!drawing) return;
    pages_ = std::max(pages_, pagenr);

    DrawHeaderFooter(painter, header_, footer_, layout_, resolution());
  }

 private:
  int Mm(double mm) const { return static_cast<int>(mm * resolution() / 25.4 + 0.5); }

  QString header_;
  QString footer_;
  PrintLayout layout_;
  int pages_ = 0;
};

}  // namespace

void DrawHeaderFooter(QPainter& painter, const QString& header, const QString& footer, const PrintLayout& layout,
                      int dpi) {
  const auto mm = [dpi](double v) { return static_cast<int>(v * dpi / 25.4 + 0.5); };
  const int width = painter.device()->width();
  const int height = painter.device()->height();
  painter.save();
  painter.setFont(Arial(10));
  painter.setPen(Qt::black);
  const QFontMetrics metrics(painter.font(), painter.device());
  const int ruleLeft = mm(layout.left);
  const int ruleRight = width - mm(layout.right);
  const int textLeft = mm(layout.left + layout.textIndent);
  const int textWidth = width - mm(layout.right + layout.textIndent) - textLeft;
  const int gap = mm(layout.internalMargin);

  const QRect headerBox(textLeft, mm(layout.header), textWidth, metrics.height());
  painter.drawText(headerBox, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                   metrics.elidedText(header, Qt::ElideLeft, textWidth));
  painter.drawLine(ruleLeft, headerBox.bottom() + gap, ruleRight, headerBox.bottom() + gap);

  const QRect footerBox(textLeft, height - mm(layout.footer) - metrics.height(), textWidth, metrics.height());
  painter.drawLine(ruleLeft, footerBox.top() - gap, ruleRight, footerBox.top() - gap);
  painter.drawText(footerBox, Qt::AlignHCenter | Qt::AlignBottom | Qt::TextSingleLine,
                   metrics.elidedText(footer, Qt::ElideRight, textWidth));
  painter.restore();
}

PrintTarget ChoosePrintTarget(const QString& pdfOverride, const QString& defaultPrinter, const QString& fallbackPdf) {
  if (!pdfOverride.isEmpty()) return {QString(), pdfOverride};
  if (!defaultPrinter.isEmpty()) return {defaultPrinter, QString()};
  return {QString(), fallbackPdf};
}

QString NewPdfName(const QString& folder, const QDateTime& now) {
  const QString stem = folder + QStringLiteral("/Webwarden32 printout ") + now.toString(QStringLiteral("yyyy-MM-dd hh.mm.ss"));
  QString name = stem + QStringLiteral(".pdf");
  for (int n = 2; QFileInfo::exists(name); ++n) name = stem + QStringLiteral(" (%1).pdf").arg(n);
  return name;
}

QString PrintHeader(const QString& file, const QString& server) { return file + QStringLiteral(" on Server: ") + server; }

QString PrintFooter(const QString& date) {
  return QStringLiteral("Printed ") + date + QStringLiteral(" with Webwarden32 v0.1ALPHA");
}

void AimPrinter(QPrinter& printer, const PrintTarget& target, const QString& title) {
  if (target.ToPdf()) {
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(target.pdfFile);
  } else {
    printer.setPrinterName(target.printer);
  }
  printer.setFullPage(true);
  printer.setCopyCount(1);
  printer.setPrintRange(QPrinter::AllPages);
  printer.setDocName(title);
}

QString PrintedToPdfMessage(const QString& pdfFile) {
  return QStringLiteral("The printout was written to the PDF file ") + pdfFile + QLatin1Char('.');
}

int PrintText(QsciScintillaBase& editor, const PrintTarget& target, const QString& header, const QString& footer,
              const QString& title, const PrintLayout& layout) {
  PagePrinter printer(header, footer, layout);
  AimPrinter(printer, target, title);
  printer.setWrapMode(QsciScintilla::WrapWord);
  printer.setMagnification(0);
  const QString where = target.ToPdf() ? target.pdfFile : target.printer;

  QPainter painter;
  if (!painter.begin(&printer)) throw ConsoleError(QStringLiteral("Cannot print to %1.").arg(where));
  const long tabs = editor.SendScintilla(QsciScintillaBase::SCI_GETTABWIDTH);
  editor.SendScintilla(QsciScintillaBase::SCI_SETTABWIDTH, 8UL);
  editor.SendScintilla(QsciScintillaBase::SCI_SETPRINTCOLOURMODE,
                       static_cast<unsigned long>(QsciScintillaBase::SC_PRINT_COLOURONWHITE));
  if (editor.SendScintilla(QsciScintillaBase::SCI_GETLENGTH) > 0) {
    printer.printRange(&editor, painter);
  } else {
    // Nothing to lay out: one page with header and footer.
    QRect area;
    printer.formatPage(painter, true, area, 1);
  }
  editor.SendScintilla(QsciScintillaBase::SCI_SETTABWIDTH, static_cast<unsigned long>(tabs));
  if (!painter.end()) throw ConsoleError(QStringLiteral("Cannot print to %1.").arg(where));
  return printer.Pages();
}

}  // namespace console
