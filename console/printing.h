// Printing the editor's text with QScintilla's printer: one copy of all
// pages, without a dialog, to the default printer, or to a PDF file when the
// system has no printer or WEBWARDEN32_PRINT_PDF names one. Every page
// carries one header line and one footer line.
#pragma once

#include <QDateTime>
#include <QString>

class QPainter;
class QPrinter;
class QsciScintillaBase;

namespace console {

inline constexpr const char* kPrintPdfVariable = "WEBWARDEN32_PRINT_PDF";

struct PrintTarget {
  QString printer;  // the printer's name, when printing on paper
  QString pdfFile;  // otherwise the PDF file
  bool ToPdf() const { return !pdfFile.isEmpty(); }
  bool operator==(const PrintTarget&) const = default;
};

// Sets printer up for one copy of all pages of the document title, without
// the paper's margins, on target's printer or into its PDF file.
void AimPrinter(QPrinter& printer, const PrintTarget& target, const QString& title);

// pdfOverride: the value of WEBWARDEN32_PRINT_PDF; defaultPrinter: the
// system's default printer, empty when it has none; fallbackPdf: the file
// for a printout when there is no printer.
PrintTarget ChoosePrintTarget(const QString& pdfOverride, const QString& defaultPrinter, const QString& fallbackPdf);

// A PDF file in folder, named for a printout made at now, that does not
// exist yet.
QString NewPdfName(const QString& folder, const QDateTime& now);

// "F on Server: S" and "Printed DATE with Webwarden32 v0.1ALPHA".
QString PrintHeader(const QString& file, const QString& server);
QString PrintFooter(const QString& date);
// Where a printout went when it went to a PDF file.
QString PrintedToPdfMessage(const QString& pdfFile);

// The page in millimetres: the text's margins; the distances of the header
// line from the paper's top edge and of the footer line from its bottom
// edge; the indent of header and footer text from the left and right
// margins; the gap between that text and its rule.
struct PrintLayout {
  double left = 25, right = 15, top = 25, bottom = 25;
  double header = 15, footer = 15;
  double textIndent = 2;
  double internalMargin = 0.5;
};

// Draws the header line (left-aligned) and the footer line (centred) with
// their rules on the page that painter is on; dpi: the device's resolution.
void DrawHeaderFooter(QPainter& painter, const QString& header, const QString& footer, const PrintLayout& layout,
                      int dpi);

// Prints the editor's whole text in its font with tab width 8 and line
// numbers in the left margin, colours on a white background, long lines
// wrapped; the header left-aligned and the footer centred on every page. An
// empty text prints one page with header and footer. Returns the number of
// pages; throws ConsoleError when the printer or the file refuses.
int PrintText(QsciScintillaBase& editor, const PrintTarget& target, const QString& header, const QString& footer,
              const QString& title, const PrintLayout& layout = {});

}  // namespace console
