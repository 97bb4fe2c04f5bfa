// The upgrader's window as an X server shows it: the real executable under a
// private Xvfb, inspected with xwininfo/xprop (x11-utils) and captured with
// ImageMagick's import. Checks what only a real screen can tell: geometry, the
// no-frame hint, the colours actually painted, the caption's CJK glyphs, and
// the bar turning green as a download progresses.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <memory>

#include "support.h"

using namespace testing_support;

namespace {

const QRgb kBackground = qRgb(0x1E, 0x28, 0x31);
const QRgb kBar = qRgb(0x25, 0xCF, 0x9E);
constexpr int kWidth = 340;
constexpr int kHeight = 120;
constexpr int kBarRows = 10;

// Rendering may differ by a rounding step per channel.
bool Near(QRgb a, QRgb b, int tolerance = 2) {
  return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance &&
         std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

bool WhiteIsh(QRgb c) { return qRed(c) >= 200 && qGreen(c) >= 200 && qBlue(c) >= 200; }

std::string Hex(QRgb c) { return QString("#%1").arg(c & 0xFFFFFF, 6, 16, QChar('0')).toStdString(); }

// Runs a tool to completion; its standard output, or an empty array on failure.
QByteArray RunTool(const QString& program, const QStringList& args, int* exitCode = nullptr) {
  QProcess p;
  p.start(program, args);
  if (!p.waitForFinished(10000)) {
    p.kill();
    p.waitForFinished(2000);
    if (exitCode != nullptr) *exitCode = -1;
    return {};
  }
  if (exitCode != nullptr) *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  return p.readAllStandardOutput();
}

// A private X server on a display it picks itself (-displayfd), so parallel
// runs and a real desktop never collide.
// Its DPI is set because Xvfb's own default (about 100) is not a 100 % screen,
// and the upgrader scales by the screen's DPI; Qt reads it from the screen's
// size in millimetres, which -dpi sets (no Xft.dpi resource is set). Xvfb
// rounds that size to whole millimetres: 2880 pixels are a whole number of them
// at 96, 144 and 192 DPI, so the DPI Qt sees is exact.
class Xvfb {
 public:
  explicit Xvfb(int dpi = 96) {
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    process_.setStandardErrorFile(QProcess::nullDevice());
    process_.start("Xvfb", {"-displayfd", "1", "-screen", "0", "2880x1440x24", "-dpi",
                            QString::number(dpi), "-nolisten", "tcp"});
    if (!process_.waitForStarted(5000)) return;
    if (!WaitFor([&] { return process_.canReadLine() || process_.state() != QProcess::Running; },
                 10000)) {
      return;
    }
    const QByteArray line = process_.readLine().trimmed();
    bool ok = false;
    const int number = line.toInt(&ok);
    if (ok && number >= 0) display_ = QString(":%1").arg(number);
  }
  ~Xvfb() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
      process_.kill();
      process_.waitForFinished(2000);
    }
  }
  const QString& display() const { return display_; }

 private:
  QProcess process_;
  QString display_;
};

struct WindowInfo {
  QString id;
  int width = 0;
  int height = 0;
  int border = -1;
  bool viewable = false;
};

class ScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"Xvfb", "xwininfo", "xprop", "import"}) {
      if (QStandardPaths::findExecutable(tool).isEmpty()) {
        GTEST_SKIP() << tool << " is not installed (Debian: xvfb, x11-utils, imagemagick)";
      }
    }
    xvfb_ = std::make_unique<Xvfb>();
    ASSERT_FALSE(xvfb_->display().isEmpty()) << "Xvfb did not report a display";
    world_.CreateDataFolder();
    world_.InstallUpgrader();
    world_.InstallClient();
  }

  void TearDown() override {
    if (world_.process().state() != QProcess::NotRunning) {
      world_.process().terminate();
      if (!world_.WaitForExit(10000)) world_.process().kill();
      world_.WaitForExit(5000);
    }
  }

  // Replaces the private display by one of `dpi`; nothing may be running on it.
  void UseScreenOf(int dpi) {
    xvfb_ = std::make_unique<Xvfb>(dpi);
    ASSERT_FALSE(xvfb_->display().isEmpty()) << "Xvfb did not report a display";
  }

  // Ends the upgrader as SIGTERM does and waits for it.
  void Stop() {
    world_.process().terminate();
    ASSERT_TRUE(world_.WaitForExit(10000));
  }

  // Starts the upgrader on the private display and waits until its window is
  // mapped; fills `window`.
  void StartAndFindWindow(WindowInfo* window) {
    world_.Start(QString(), xvfb_->display());
    ASSERT_TRUE(world_.WaitUntilServing());
    ASSERT_TRUE(WaitFor(
        [&] {
          *window = Inspect();
          return window->viewable;
        },
        10000))
        << "no viewable window named BrisvaneUpgrade on " << xvfb_->display().toStdString();
  }

  WindowInfo Inspect() {
    WindowInfo info;
    int code = 0;
    const QString text = QString::fromUtf8(
        RunTool("xwininfo", {"-display", xvfb_->display(), "-name", "BrisvaneUpgrade"}, &code));
    if (code != 0) return info;
    const auto field = [&](const QString& pattern) {
      return QRegularExpression(pattern, QRegularExpression::MultilineOption).match(text).captured(1);
    };
    info.id = field(R"(Window id: (0x[0-9a-fA-F]+))");
    info.width = field(R"(^\s*Width: (\d+))").toInt();
    info.height = field(R"(^\s*Height: (\d+))").toInt();
    info.border = field(R"(^\s*Border width: (\d+))").toInt();
    info.viewable = field(R"(^\s*Map State: (\w+))") == "IsViewable";
    return info;
  }

  // The window's pixels as the X server holds them.
  QImage Capture(const WindowInfo& window) {
    const QByteArray png =
        RunTool("import", {"-display", xvfb_->display(), "-window", window.id, "png:-"});
    QImage image = QImage::fromData(png, "PNG");
    return image.convertToFormat(QImage::Format_RGB32);
  }

  std::unique_ptr<Xvfb> xvfb_;
  UpgraderWorld world_;
};

// Bounding box of the pixels in `area` that are not background.
QRect InkBox(const QImage& image, const QRect& area) {
  QRect box;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      if (!Near(image.pixel(x, y), kBackground, 8)) box |= QRect(x, y, 1, 1);
    }
  }
  return box;
}

TEST_F(ScreenTest, BorderlessDarkWindowWithLegibleCaptionAndEmptyBar) {
  WindowInfo window;
  ASSERT_NO_FATAL_FAILURE(StartAndFindWindow(&window));
  EXPECT_EQ(window.width, kWidth);
  EXPECT_EQ(window.height, kHeight);
  EXPECT_EQ(window.border, 0);

  // No window manager runs under Xvfb, so frames cannot be seen; the hint
  // that asks every window manager for none can. Motif hints are
  // flags, functions, decorations, ...; flag bit 1 says decorations count.
  const QString hints = QString::fromUtf8(
      RunTool("xprop", {"-display", xvfb_->display(), "-id", window.id, "_MOTIF_WM_HINTS"}));
  const QRegularExpressionMatch m =
      QRegularExpression(R"(= (0x[0-9a-f]+), (0x[0-9a-f]+), (0x[0-9a-f]+))").match(hints);
  ASSERT_TRUE(m.hasMatch()) << "no _MOTIF_WM_HINTS: " << hints.toStdString();
  EXPECT_TRUE(m.captured(1).toUInt(nullptr, 16) & 0x2) << hints.toStdString();
  EXPECT_EQ(m.captured(3).toUInt(nullptr, 16), 0u) << "decorations requested: " << hints.toStdString();

  // Neither can a fixed size or an icon be seen; what the window tells every
  // window manager can.
  const QString wm = QString::fromUtf8(RunTool(
      "xprop", {"-display", xvfb_->display(), "-id", window.id, "WM_NORMAL_HINTS", "_NET_WM_ICON"}));
  EXPECT_TRUE(wm.contains("program specified minimum size: 340 by 120")) << wm.toStdString();
  EXPECT_TRUE(wm.contains("program specified maximum size: 340 by 120")) << wm.toStdString();
  for (const char* size : {"Icon (16 x 16)", "Icon (32 x 32)", "Icon (48 x 48)"}) {
    EXPECT_TRUE(wm.contains(size)) << size << " missing from _NET_WM_ICON";
  }

  // Mapped is not yet painted: wait for the first full paint.
  QImage image;
  WaitFor(
      [&] {
        image = Capture(window);
        return image.size() == QSize(kWidth, kHeight) && Near(image.pixel(0, 0), kBackground) &&
               !InkBox(image, QRect(0, 0, kWidth, kHeight - kBarRows)).isEmpty();
      },
      5000);
  ASSERT_EQ(image.size(), QSize(kWidth, kHeight));
  for (const QPoint corner : {QPoint(0, 0), QPoint(kWidth - 1, 0), QPoint(0, kHeight - 1),
                              QPoint(kWidth - 1, kHeight - 1), QPoint(kWidth / 2, 5)}) {
    EXPECT_TRUE(Near(image.pixel(corner), kBackground))
        << "at " << corner.x() << "," << corner.y() << ": " << Hex(image.pixel(corner));
  }
  // At 0 the bar is only its groove, which is transparent.
  for (int y = kHeight - kBarRows; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      ASSERT_TRUE(Near(image.pixel(x, y), kBackground))
          << "bar row at " << x << "," << y << ": " << Hex(image.pixel(x, y));
    }
  }

  // The caption: white ink, centred, as wide as four full-width glyphs. The
  // boxes drawn for missing glyphs are about half as wide, so a missing CJK
  // font fails here rather than passing on "some white pixels".
  const QRect captionArea(0, 0, kWidth, kHeight - kBarRows);
  const QRect ink = InkBox(image, captionArea);
  ASSERT_FALSE(ink.isEmpty()) << "no caption drawn";
  int white = 0;
  for (int y = ink.top(); y <= ink.bottom(); ++y) {
    for (int x = ink.left(); x <= ink.right(); ++x) white += WhiteIsh(image.pixel(x, y)) ? 1 : 0;
  }
  std::printf("measured: caption ink %dx%d at %d,%d, %d white pixels\n", ink.width(), ink.height(),
              ink.x(), ink.y(), white);
  EXPECT_GE(white, 100);
  EXPECT_GE(ink.width(), 60) << "caption too narrow for four CJK glyphs (missing font?)";
  EXPECT_GE(ink.height(), 12);
  EXPECT_LE(std::abs((ink.left() + ink.right()) / 2 - kWidth / 2), 4) << "caption not centred";
}

TEST_F(ScreenTest, WindowScalesWithTheScreenDpi) {
  // Qt's factor is the exact DPI / 96, so only rounding to whole device
  // pixels may differ by one.
  const struct {
    int dpi;
    int width;
    int height;
  } rows[] = {{96, 340, 120}, {144, 510, 180}, {192, 680, 240}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.dpi);
    ASSERT_NO_FATAL_FAILURE(UseScreenOf(row.dpi));
    WindowInfo window;
    ASSERT_NO_FATAL_FAILURE(StartAndFindWindow(&window));
    std::printf("measured: at %d DPI the window is %dx%d\n", row.dpi, window.width,
                window.height);
    EXPECT_LE(std::abs(window.width - row.width), 1) << window.width;
    EXPECT_LE(std::abs(window.height - row.height), 1) << window.height;
    ASSERT_NO_FATAL_FAILURE(Stop());
  }
}

TEST_F(ScreenTest, BarFillsGreenFromTheLeftWhileTheInstallerDownloads) {
  // 768 KiB at the server's default 256 KiB/s: about 3 s of visible progress.
  QTemporaryDir served;
  ASSERT_TRUE(served.isValid());
  QByteArray installer = InstallerScript(world_.recordDir());
  installer.append(QByteArray(768 * 1024 - installer.size(), '#'));
  WriteFile(served.path() + "/setup.exe", installer);
  HttpServer server(served.path());
  ASSERT_TRUE(server.ok());

  WindowInfo window;
  ASSERT_NO_FATAL_FAILURE(StartAndFindWindow(&window));
  ASSERT_EQ(world_.SendRequest(server.Url("/slow/setup.exe")), 0);

  // Green columns of the bottom rows in the first capture that has some.
  int first = -1;
  int last = -1;
  QImage image;
  const bool green = WaitFor(
      [&] {
        if (world_.process().state() == QProcess::NotRunning) return true;
        image = Capture(window);
        if (image.size() != QSize(kWidth, kHeight)) return false;
        for (int x = 0; x < kWidth; ++x) {
          if (Near(image.pixel(x, kHeight - kBarRows / 2), kBar)) {
            if (first < 0) first = x;
            last = x;
          }
        }
        return first >= 0;
      },
      10000);
  ASSERT_TRUE(green && first >= 0) << "no bar pixels " << Hex(kBar) << " in the bottom rows";
  std::printf("measured: first green capture spans columns %d..%d\n", first, last);
  EXPECT_LE(first, 5) << "the bar does not start at the left edge";
  EXPECT_LT(last, kWidth - 1) << "the bar was full in the first capture";
  // Above the bar nothing turned green.
  for (int y = 0; y < kHeight - kBarRows; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      ASSERT_FALSE(Near(image.pixel(x, y), kBar, 8)) << "green at " << x << "," << y;
    }
  }

  // The run completes and the window goes away with the process.
  ASSERT_TRUE(world_.WaitForExit(20000));
  EXPECT_EQ(world_.process().exitCode(), 0);
  EXPECT_FALSE(Inspect().viewable);
  EXPECT_EQ(world_.Recorded("installer.args"), "1\n/verysilent");
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
