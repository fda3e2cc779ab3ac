#include "label/label.h"

#include <zint.h>

#include <QBuffer>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QPrinter>
#include <QPrinterInfo>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "device/keypad_commands.h"
#include "support/atomic_file.h"

namespace navkeypad::label {

namespace {

constexpr int kDotsPerInch = 300;
constexpr double kMmPerInch = 25.4;

// A program without windows draws text all the same: Qt's fonts need an application, which
// shows nothing where it has no screen.
void NeedApplication() {
  if (QCoreApplication::instance() != nullptr) return;
#ifndef _WIN32
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
#endif
  static int argc = 1;
  static char name[] = "navkeypad";
  static char* argv[] = {name, nullptr};
  // Qt's notes on what it made do without (a runtime folder, a screen) are no concern of a
  // label's; its errors still go to standard error.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
      std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
  });
  static QGuiApplication application(argc, argv);
}

// The code's dark modules as zint lays them out, in modules; empty where it cannot hold `text`.
struct Code {
  float width = 0, height = 0;
  std::vector<QRectF> modules;
  std::string problem;
};

Code DataMatrixOf(const std::string& text) {
  Code code;
  std::unique_ptr<zint_symbol, void (*)(zint_symbol*)> symbol(ZBarcode_Create(), ZBarcode_Delete);
  if (!symbol) {
    code.problem = "out of memory";
    return code;
  }
  symbol->symbology = BARCODE_DATAMATRIX;
  symbol->option_3 = DM_SQUARE;
  symbol->input_mode = DATA_MODE;
  symbol->scale = 0.5f;  // one module a unit of the vector output
  const int encoded = ZBarcode_Encode_and_Buffer_Vector(
      symbol.get(), reinterpret_cast<const unsigned char*>(text.data()),
      static_cast<int>(text.size()), 0);
  if (encoded >= ZINT_ERROR || symbol->vector == nullptr) {
    code.problem = std::string("the code cannot be made (") + symbol->errtxt + ")";
    return code;
  }
  code.width = symbol->vector->width;
  code.height = symbol->vector->height;
  for (const zint_vector_rect* rect = symbol->vector->rectangles; rect; rect = rect->next)
    code.modules.emplace_back(rect->x, rect->y, rect->width, rect->height);
  return code;
}

// Draws the label on `painter`, whose device is `width` x `height` in its own units.
void Draw(QPainter& painter, double width, double height, double dotsPerMm, const Code& code,
          const LabelText& text, const LabelLayout& layout) {
  painter.fillRect(QRectF(0, 0, width, height), Qt::white);
  const double margin = 2 * dotsPerMm;
  // The code on the left, as high as the label allows; its quiet zone is the margin.
  const double side = height - 2 * margin;
  const double module = side / std::max(code.width, code.height);
  painter.setPen(Qt::NoPen);
  painter.setBrush(Qt::black);
  for (const QRectF& dark : code.modules) {
    painter.drawRect(QRectF(margin + dark.x() * module, margin + dark.y() * module,
                            dark.width() * module, dark.height() * module));
  }
  // The number as large as fits beside it, the rest beneath.
  const QRectF textArea(side + 2.5 * margin, margin, width - side - 3.5 * margin, side);
  painter.setPen(Qt::black);
  std::vector<std::pair<QString, double>> lines;  // a line and its share of the height
  if (!layout.heading.empty()) lines.emplace_back(QString::fromStdString(layout.heading), 0.2);
  lines.emplace_back(QString::fromStdString(text.serial), 0.45);
  if (layout.showsFirmware && !text.firmware.empty())
    lines.emplace_back("Firmware " + QString::fromStdString(text.firmware), 0.2);
  double total = 0;
  for (const auto& line : lines) total += line.second;
  double y = textArea.top();
  for (const auto& [words, share] : lines) {
    const double lineHeight = textArea.height() * share / total;
    QFont font("DejaVu Sans");
    font.setBold(words == QString::fromStdString(text.serial));
    font.setPixelSize(std::max(1, static_cast<int>(lineHeight * 0.8)));
    // Narrower where the line is too long for the label.
    const double wide = QFontMetricsF(font).horizontalAdvance(words);
    if (wide > textArea.width()) {
      font.setPixelSize(std::max(1, static_cast<int>(font.pixelSize() * textArea.width() / wide)));
    }
    painter.setFont(font);
    painter.drawText(QRectF(textArea.left(), y, textArea.width(), lineHeight),
                     Qt::AlignLeft | Qt::AlignVCenter, words);
    y += lineHeight;
  }
}

// Why the label cannot be made as asked; "" when it can.
std::string LabelProblem(const LabelText& text, const Code& code) {
  if (const std::string problem = SerialNumberProblem(text.serial); !problem.empty())
    return "no label: " + problem.substr(0, problem.size() - 1);
  if (!code.problem.empty()) return "no label for " + text.serial + ": " + code.problem;
  return {};
}

std::string SizeText(const LabelLayout& layout) {
  const auto mm = [](double value) {
    QString text = QString::number(value, 'f', 1);
    if (text.endsWith(".0")) text.chop(2);
    return text.toStdString();
  };
  return mm(layout.widthMm) + " x " + mm(layout.heightMm) + " mm";
}

QPrinterInfo PrinterNamed(const std::string& printer) {
  return printer.empty() ? QPrinterInfo::defaultPrinter()
                         : QPrinterInfo::printerInfo(QString::fromStdString(printer));
}

QPageLayout PageOf(const LabelLayout& layout) {
  return QPageLayout(QPageSize(QSizeF(layout.widthMm, layout.heightMm), QPageSize::Millimeter,
                               "label", QPageSize::ExactMatch),
                     QPageLayout::Portrait, QMarginsF());
}

// Prints the label on `printer`, a page of the label's size; "" when the printer took it.
std::string PrintLabelOn(QPrinter& printer, const LabelText& text, const LabelLayout& layout) {
  const Code code = DataMatrixOf(text.serial);
  if (const std::string problem = LabelProblem(text, code); !problem.empty()) return problem;
  NeedApplication();
  printer.setFullPage(true);
  printer.setDocName(QString::fromStdString("Keypad " + text.serial));
  const std::string name = printer.outputFileName().isEmpty()
                               ? printer.printerName().toStdString()
                               : printer.outputFileName().toStdString();
  if (!printer.setPageLayout(PageOf(layout)))
    return "the printer " + name + " takes no label of " + SizeText(layout);
  QPainter painter;
  if (!painter.begin(&printer)) return "the printer " + name + " did not take the label";
  const QRectF page = printer.pageLayout().fullRectPixels(printer.resolution());
  Draw(painter, page.width(), page.height(), printer.resolution() / kMmPerInch, code, text, layout);
  if (!painter.end()) return "the printer " + name + " did not take the label";
  return {};
}

}  // namespace

std::string WriteLabel(const LabelText& text, const LabelLayout& layout, const std::string& file) {
  const Code code = DataMatrixOf(text.serial);
  if (const std::string problem = LabelProblem(text, code); !problem.empty()) return problem;
  const std::string extension = std::filesystem::path(file).extension().string();
  const bool pdf = extension == ".pdf" || extension == ".PDF";
  if (!pdf && extension != ".png" && extension != ".PNG")
    return "a label is written as .png or .pdf, not as '" + file + "'";
  NeedApplication();
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  const double dotsPerMm = kDotsPerInch / kMmPerInch;
  if (pdf) {
    QPdfWriter writer(&buffer);
    writer.setResolution(kDotsPerInch);
    writer.setPageLayout(PageOf(layout));
    writer.setCreator("navkeypad");
    writer.setTitle(QString::fromStdString("Keypad " + text.serial));
    QPainter painter(&writer);
    Draw(painter, layout.widthMm * dotsPerMm, layout.heightMm * dotsPerMm, dotsPerMm, code, text,
         layout);
  } else {
    QImage image(static_cast<int>(layout.widthMm * dotsPerMm + 0.5),
                 static_cast<int>(layout.heightMm * dotsPerMm + 0.5), QImage::Format_RGB32);
    image.setDotsPerMeterX(static_cast<int>(dotsPerMm * 1000 + 0.5));
    image.setDotsPerMeterY(static_cast<int>(dotsPerMm * 1000 + 0.5));
    {
      QPainter painter(&image);
      Draw(painter, image.width(), image.height(), dotsPerMm, code, text, layout);
    }
    if (!image.save(&buffer, "PNG")) return "the label could not be made into a PNG image";
  }
  if (!support::WriteFileAtomically(file, bytes.toStdString()))
    return "the label could not be written to " + file;
  return {};
}

std::string PrinterProblem(const std::string& printer) {
  NeedApplication();
  if (PrinterNamed(printer).isNull()) {
    return printer.empty() ? "this computer has no default printer; name one"
                           : "this computer has no printer " + printer;
  }
  return {};
}

std::string PrintLabel(const LabelText& text, const LabelLayout& layout,
                       const std::string& printer) {
  if (const std::string problem = PrinterProblem(printer); !problem.empty()) return problem;
  QPrinter device(PrinterNamed(printer), QPrinter::HighResolution);
  return PrintLabelOn(device, text, layout);
}

}  // namespace navkeypad::label
