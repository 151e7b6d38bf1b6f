#include "console/logview.h"

#include <Qsci/qsciscintilla.h>

#include <QApplication>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <cmath>

#include "console/errors.h"
#include "console/fonts.h"

namespace console {
namespace {

constexpr int kProgressTickMs = 100;
constexpr int kNoticeMs = 15000;

QColor FromBgr(long bgr) {
  return QColor(static_cast<int>(bgr & 0xff), static_cast<int>((bgr >> 8) & 0xff), static_cast<int>((bgr >> 16) & 0xff));
}

QString Megabytes(std::uint64_t bytes) { return QString::number(double(bytes) / (1 << 20), 'f', 1); }

}  // namespace

TLogView::TLogView(QWidget* parent) : QAbstractScrollArea(parent) {
  setFont(CourierNew(10));
  const QFontMetricsF metrics(font());
  lineHeight_ = std::max(1, static_cast<int>(metrics.ascent() + metrics.descent()));
  setFocusPolicy(Qt::StrongFocus);
  setContextMenuPolicy(Qt::DefaultContextMenu);
  viewport()->setCursor(Qt::IBeamCursor);
  const QPalette pal = palette();
  paper_ = Qt::white;
  ink_ = Qt::black;
  marginBack_ = pal.color(QPalette::Button);
  marginInk_ = pal.color(QPalette::ButtonText);
  edge_ = QColor(0xc0, 0xc0, 0xc0);
  runner_ = [](const std::function<void()>& command) {
    try {
      command();
    } catch (const ConsoleError&) {
    }
  };

  watcher_ = new QFileSystemWatcher(this);
  checkTimer_ = new QTimer(this);
  checkTimer_->setSingleShot(true);
  checkTimer_->setInterval(kFollowDelayMs);
  connect(checkTimer_, &QTimer::timeout, this, [this] { CheckFile(); });
  // Each write to the file reports; a busy log is looked at once per delay.
  const auto later = [this] {
    if (!checkTimer_->isActive()) checkTimer_->start();
  };
  connect(watcher_, &QFileSystemWatcher::fileChanged, this, later);
  connect(watcher_, &QFileSystemWatcher::directoryChanged, this, later);

  progressTimer_ = new QTimer(this);
  progressTimer_->setInterval(kProgressTickMs);
  connect(progressTimer_, &QTimer::timeout, this, [this] { OnProgress(); });
  noticeTimer_ = new QTimer(this);
  noticeTimer_->setSingleShot(true);
  connect(noticeTimer_, &QTimer::timeout, this, [this] {
    notice_->hide();
    PlaceLabels();
  });

  notice_ = new QLabel(this);
  notice_->setObjectName(QStringLiteral("LogNotice"));
  notice_->setStyleSheet(QStringLiteral("background: #ffffe1; color: black; padding: 1px 4px;"));
  notice_->setFont(MsSansSerif(8));
  notice_->hide();
  progress_ = new QLabel(this);
  progress_->setObjectName(QStringLiteral("LogProgress"));
  progress_->setStyleSheet(QStringLiteral("background: #f0f0f0; color: #404040; padding: 1px 4px;"));
  progress_->setFont(MsSansSerif(8));
  progress_->hide();

  connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int v) { OnScrollBar(v); });
  connect(horizontalScrollBar(), &QScrollBar::valueChanged, this, [this](int v) {
    hscroll_ = v;
    viewport()->update();
  });
  SyncBars();
}

TLogView::~TLogView() = default;

void TLogView::FollowLook(QsciScintilla& editor) {
  setFont(editor.font());
  lineHeight_ = std::max(1L, editor.SendScintilla(QsciScintillaBase::SCI_TEXTHEIGHT, 0UL));
  paper_ = editor.paper();
  ink_ = editor.color();
  edge_ = editor.edgeColor();
  marginBack_ = FromBgr(editor.SendScintilla(QsciScintillaBase::SCI_STYLEGETBACK, QsciScintillaBase::STYLE_LINENUMBER));
  marginInk_ = FromBgr(editor.SendScintilla(QsciScintillaBase::SCI_STYLEGETFORE, QsciScintillaBase::STYLE_LINENUMBER));
  viewport()->update();
}

void TLogView::Run(const std::function<void()>& command) { runner_(command); }

// --- opening and following ---------------------------------------------------------

void TLogView::Open(const QString& path, std::size_t indexBlock) {
  auto file = std::make_unique<LogFile>(path, indexBlock);  // throws before anything changes
  file_ = std::move(file);
  top_ = caret_ = anchor_ = 0;
  hscroll_ = 0;
  widest_ = kRightEdge + 1;
  pendingLine_.reset();
  ClearBookmarks();
  notice_->hide();
  Watch();
  StartProgress();
  SyncBars();
  PlaceLabels();
  viewport()->update();
}

void TLogView::Close() {
  file_.reset();
  ClearBookmarks();
  top_ = caret_ = anchor_ = 0;
  hscroll_ = 0;
  widest_ = kRightEdge + 1;
  pendingLine_.reset();
  if (!watcher_->files().isEmpty()) watcher_->removePaths(watcher_->files());
  if (!watcher_->directories().isEmpty()) watcher_->removePaths(watcher_->directories());
  checkTimer_->stop();
  progressTimer_->stop();
  notice_->hide();
  progress_->hide();
  PlaceLabels();
  SyncBars();
  viewport()->update();
}

void TLogView::Watch() {
  if (!file_) return;
  const QString path = file_->Path();
  const QString dir = QFileInfo(path).absolutePath();
  for (const QString& f : watcher_->files())
    if (f != path) watcher_->removePath(f);
  for (const QString& d : watcher_->directories())
    if (d != dir) watcher_->removePath(d);
  // The file for appends and truncation; its folder for the new file that
  // log rotation puts in its place.
  if (!watcher_->files().contains(path) && QFileInfo::exists(path)) watcher_->addPath(path);
  if (!watcher_->directories().contains(dir)) watcher_->addPath(dir);
}

void TLogView::CheckFile() {
  if (!file_) return;
  const bool atEnd = AtEnd();
  const LogFile::Change change = file_->Check();
  switch (change) {
    case LogFile::Change::None:
    case LogFile::Change::Missing:
      break;
    case LogFile::Change::Grown:
      StartProgress();
      if (atEnd) {  // the new lines come into view; the caret stays
        top_ = file_->LastLine();
        ClampTop();
      }
      break;
    case LogFile::Change::Outgrown:
      try {
        file_ = std::make_unique<LogFile>(file_->Path());
      } catch (const EFileError&) {
        break;
      }
      // The same file, longer: every offset still holds what it held.
      StartProgress();
      if (atEnd) {
        top_ = file_->LastLine();
        ClampTop();
      }
      break;
    case LogFile::Change::Truncated:
    case LogFile::Change::Replaced: {
      const QString path = file_->Path();
      std::unique_ptr<LogFile> fresh;
      try {
        fresh = std::make_unique<LogFile>(path);
      } catch (const EFileError&) {
        break;  // gone again: keep what is shown, the folder tells when it is back
      }
      file_ = std::move(fresh);
      ClearBookmarks();
      caret_ = anchor_ = 0;
      top_ = 0;
      if (atEnd) {
        top_ = file_->LastLine();
        ClampTop();
      }
      pendingLine_.reset();
      ShowNotice(change == LogFile::Change::Truncated
                     ? QStringLiteral("%1 was truncated and has been opened again.").arg(path)
                     : QStringLiteral("%1 was replaced by a new file (log rotation) and has been opened again.").arg(path));
      StartProgress();
      break;
    }
  }
  Watch();
  SyncBars();
  viewport()->update();
}

void TLogView::ShowNotice(const QString& text) {
  notice_->setText(text);
  notice_->show();
  noticeTimer_->start(kNoticeMs);
  PlaceLabels();
}

QString TLogView::Notice() const { return notice_->isHidden() ? QString() : notice_->text(); }

QString TLogView::Progress() const { return progress_->isHidden() ? QString() : progress_->text(); }

void TLogView::StartProgress() {
  OnProgress();
  if (file_ && !file_->IndexComplete()) progressTimer_->start();
}

void TLogView::OnProgress() {
  if (!file_ || file_->IndexComplete()) {
    progressTimer_->stop();
    progress_->hide();
  } else {
    const std::uint64_t done = file_->IndexedBytes();
    const std::uint64_t size = std::max<std::uint64_t>(file_->Size(), 1);
    progress_->setText(QStringLiteral("Counting lines: %1 % (%2 of %3 MB)")
                           .arg(done * 100 / size)
                           .arg(Megabytes(done), Megabytes(size)));
    progress_->show();
  }
  if (pendingLine_ && file_) {
    const std::uint64_t line = *pendingLine_;
    if (file_->LineStart(line) || file_->IndexComplete()) GotoLine(line);
  }
  PlaceLabels();
  SyncBars();
  viewport()->update();
}

void TLogView::PlaceLabels() {
  const int h = QFontMetrics(notice_->font()).height() + 4;
  const QRect r = rect().adjusted(frameWidth(), frameWidth(), -frameWidth(), -frameWidth());
  const int top = notice_->isHidden() ? 0 : h;
  const int bottom = progress_->isHidden() ? 0 : h;
  setViewportMargins(0, top, 0, bottom);
  notice_->setGeometry(r.left(), r.top(), r.width(), h);
  const int bar = horizontalScrollBar()->isVisible() ? horizontalScrollBar()->height() : 0;
  progress_->setGeometry(r.left(), r.bottom() + 1 - bar - h, r.width(), h);
}

// --- geometry -----------------------------------------------------------------------

qreal TLogView::CharWidth() const { return std::max<qreal>(1, QFontMetricsF(font()).horizontalAdvance(QLatin1Char('0'))); }

int TLogView::GutterWidth() const {
  // As the editor sizes its number margin: the digits and one more.
  const int numbers = static_cast<int>(QFontMetricsF(font()).horizontalAdvance(QString(gutterDigits_ + 1, QLatin1Char('9'))));
  return numbers + kBookmarkMargin;
}

int TLogView::Rows() const { return std::max(1, viewport()->height() / LineHeight()); }

double TLogView::EstimatedLines() const {
  if (!file_) return 1;
  if (const std::optional<std::uint64_t> n = file_->LineCount()) return double(*n);
  const std::uint64_t known = file_->KnownLines();
  const std::uint64_t indexed = file_->IndexedBytes();
  const double perLine = known > 1 ? double(indexed) / double(known - 1) : 100.0;
  return double(known) + double(file_->Size() - indexed) / std::max(perLine, 1.0);
}

std::optional<std::uint64_t> TLogView::TopLine() const { return file_ ? file_->LineOf(top_) : std::nullopt; }

TLogView::Row TLogView::MakeRow(std::uint64_t start) const {
  Row row;
  row.start = start;
  row.end = file_->LineEnd(start);
  row.shown = ShowLine(file_->Bytes(start, std::min(row.end, start + ShownLine::kShownBytes)), row.end - start, kTabWidth);
  return row;
}

std::vector<TLogView::Row> TLogView::Layout(int rows) const {
  std::vector<Row> out;
  if (!file_) return out;
  std::optional<std::uint64_t> line = file_->LineOf(top_);
  std::uint64_t start = top_;
  for (int i = 0; i < rows; ++i) {
    Row row = MakeRow(start);
    if (line) row.number = *line + 1 + std::uint64_t(i);
    const bool last = row.end >= file_->Size();
    out.push_back(std::move(row));
    if (last) break;
    start = file_->NextLine(start);
  }
  return out;
}

bool TLogView::AtEnd() const {
  if (!file_) return true;
  const std::vector<Row> rows = Layout(Rows());
  return !rows.empty() && rows.back().end >= file_->Size();
}

void TLogView::ClampTop() {
  if (!file_) return;
  // The last line stays at the bottom: no scrolling past it.
  const int rows = Rows();
  const std::vector<Row> shown = Layout(rows);
  int missing = rows - static_cast<int>(shown.size());
  while (missing-- > 0 && top_ > 0) top_ = file_->PrevLine(top_);
}

void TLogView::SyncBars() {
  syncing_ = true;
  const double lines = EstimatedLines();
  const int rows = Rows();
  const double maxTop = std::max(0.0, lines - rows);
  QScrollBar* v = verticalScrollBar();
  v->setRange(0, static_cast<int>(std::min(maxTop, double(INT_MAX))));
  v->setPageStep(rows);
  v->setSingleStep(1);
  double value = 0;
  if (file_) {
    if (const std::optional<std::uint64_t> line = TopLine()) {
      value = double(*line);
    } else {
      const std::uint64_t known = file_->KnownLines();
      const std::uint64_t indexed = file_->IndexedBytes();
      const double perLine = known > 1 ? double(indexed) / double(known - 1) : 100.0;
      value = double(known) + double(top_ - std::min(top_, indexed)) / std::max(perLine, 1.0);
    }
  }
  // Not while the user drags the slider: the count moves the estimate.
  if (!v->isSliderDown()) v->setValue(static_cast<int>(std::min(value, double(INT_MAX))));

  // The horizontal range reaches the end of the longest line shown so far,
  // and at least the right edge.
  const int digits = std::max(1, static_cast<int>(std::floor(std::log10(std::max(lines, 1.0)))) + 1);
  gutterDigits_ = digits;
  const int width = static_cast<int>(std::ceil(CharWidth() * widest_));
  QScrollBar* h = horizontalScrollBar();
  h->setRange(0, std::max(0, width - (viewport()->width() - TextLeft())));
  h->setPageStep(viewport()->width());
  h->setSingleStep(static_cast<int>(std::ceil(CharWidth())));
  syncing_ = false;
}

bool TLogView::NoteWidth(const Row& row) {
  // One column beyond the last character, for the caret at the line's end.
  const int columns = static_cast<int>(row.shown.column.size());
  if (columns <= widest_) return false;
  widest_ = columns;
  return true;
}

int TLogView::HorizontalRange() const { return horizontalScrollBar()->maximum(); }

void TLogView::OnScrollBar(int value) {
  if (syncing_ || !file_) return;
  const std::optional<std::uint64_t> top = TopLine();
  const std::int64_t delta = top ? std::int64_t(value) - std::int64_t(*top) : 0;
  if (top && std::llabs(delta) <= Rows()) {
    ScrollLines(delta);
    return;
  }
  if (const std::optional<std::uint64_t> start = file_->LineStart(std::uint64_t(value))) {
    top_ = *start;
  } else {
    // Past the counted lines: as far into the rest as the value is into the
    // estimated rest.
    const std::uint64_t known = file_->KnownLines();
    const std::uint64_t indexed = file_->IndexedBytes();
    const double perLine = known > 1 ? double(indexed) / double(known - 1) : 100.0;
    const double offset = double(indexed) + (double(value) - double(known)) * perLine;
    top_ = file_->LineStartAt(static_cast<std::uint64_t>(std::clamp(offset, 0.0, double(file_->Size()))));
  }
  ClampTop();
  SyncBars();
  viewport()->update();
}

void TLogView::ScrollLines(std::int64_t rows) {
  if (!file_) return;
  for (; rows < 0 && top_ > 0; ++rows) top_ = file_->PrevLine(top_);
  for (; rows > 0; --rows) {
    if (file_->LineEnd(top_) >= file_->Size()) break;
    top_ = file_->NextLine(top_);
  }
  ClampTop();
  SyncBars();
  viewport()->update();
}

void TLogView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  PlaceLabels();
  ClampTop();
  SyncBars();
}

// --- painting -------------------------------------------------------------------------

void TLogView::paintEvent(QPaintEvent*) {
  QPainter p(viewport());
  const QRect area = viewport()->rect();
  const int lh = LineHeight();
  const qreal cw = CharWidth();
  const int gutter = GutterWidth();
  const int left = TextLeft() - hscroll_;
  const int ascent = static_cast<int>(std::lround(QFontMetricsF(font()).ascent()));
  p.fillRect(area, paper_);
  p.setFont(font());
  const std::vector<Row> rows = file_ ? Layout(area.height() / lh + 1) : std::vector<Row>();
  bool wider = false;
  for (const Row& row : rows) wider = NoteWidth(row) || wider;
  // The bars change after the painting, not inside it.
  if (wider) QMetaObject::invokeMethod(this, [this] { SyncBars(); }, Qt::QueuedConnection);
  const std::uint64_t selFrom = std::min(anchor_, caret_);
  const std::uint64_t selTo = std::max(anchor_, caret_);
  const QPalette pal = palette();

  p.setClipRect(QRect(gutter, 0, area.width() - gutter, area.height()));
  int y = 0;
  for (const Row& row : rows) {
    const int columns = static_cast<int>(row.shown.column.size()) - 1;
    QRectF selected;
    if (selFrom < selTo && selFrom <= row.end && selTo > row.start) {
      const int c0 = selFrom <= row.start ? 0 : row.shown.ColumnOf(selFrom - row.start);
      int c1 = selTo >= row.end ? columns : row.shown.ColumnOf(selTo - row.start);
      if (selTo > row.end) ++c1;  // the line's break is selected too
      selected = QRectF(left + c0 * cw, y, (c1 - c0) * cw, lh);
      p.fillRect(selected, pal.color(QPalette::Highlight));
    }
    p.setPen(ink_);
    p.drawText(QPointF(left, y + ascent), row.shown.text);
    if (!selected.isEmpty()) {
      // The selected characters again, in the selection's text colour.
      p.save();
      p.setClipRect(selected, Qt::IntersectClip);
      p.setPen(pal.color(QPalette::HighlightedText));
      p.drawText(QPointF(left, y + ascent), row.shown.text);
      p.restore();
    }
    if (row.shown.cut) {
      p.setPen(Qt::gray);
      p.drawText(QPointF(left + columns * cw, y + ascent),
                 QStringLiteral(" \u2026[line cut: %1 bytes]").arg(row.end - row.start));
    }
    if (caret_ >= row.start && caret_ <= row.end && hasFocus()) {
      const int c = row.shown.ColumnOf(caret_ - row.start);
      p.fillRect(QRectF(left + c * cw, y, 1, lh), ink_);
    }
    y += lh;
  }
  // The right edge.
  p.setPen(edge_);
  const qreal edgeX = left + kRightEdge * cw;
  p.drawLine(QPointF(edgeX, 0), QPointF(edgeX, area.height()));
  p.setClipping(false);

  // The gutter: line numbers right-aligned, then the bookmark margin.
  p.fillRect(QRect(0, 0, gutter, area.height()), marginBack_);
  p.setPen(marginInk_);
  y = 0;
  const int numbers = gutter - kBookmarkMargin;
  for (const Row& row : rows) {
    if (row.number)
      p.drawText(QRect(0, y, numbers - static_cast<int>(cw / 2), lh), Qt::AlignRight | Qt::AlignVCenter, QString::number(*row.number));
    for (const std::optional<std::uint64_t>& mark : bookmarks_) {
      if (mark != row.start) continue;
      // The editor's circle marker.
      p.save();
      p.setRenderHint(QPainter::Antialiasing);
      p.setPen(Qt::black);
      p.setBrush(Qt::white);
      const int d = std::min(kBookmarkMargin, lh) - 4;
      p.drawEllipse(QRectF(numbers + (kBookmarkMargin - d) / 2.0, y + (lh - d) / 2.0, d, d));
      p.restore();
      break;
    }
    y += lh;
  }
}

QStringList TLogView::VisibleText() const {
  QStringList out;
  for (const Row& row : Layout(Rows())) out << row.shown.text;
  return out;
}

QStringList TLogView::VisibleNumbers() const {
  QStringList out;
  for (const Row& row : Layout(Rows())) out << (row.number ? QString::number(*row.number) : QString());
  return out;
}

}  // namespace console
