// Tests of the picture control: loading stills and animations, frame composition, the animation thread.
#include "controls/PictureControl.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <functional>

#include "tests/controls/GifBuilder.h"

namespace tarnwick {
namespace {

using test::GifBuilder;

const GifBuilder::Palette kPalette = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};
const QRgb kRed = 0xFFFF0000, kGreen = 0xFF00FF00, kBlue = 0xFF0000FF;

QByteArray ToBytes(const GifBuilder& gif) {
    return QByteArray(reinterpret_cast<const char*>(gif.Bytes().data()), static_cast<qsizetype>(gif.Size()));
}

// Red full frame kept (disposal 1); green 3x2 at (2,1) cleared to background (disposal 2); blue 2x2 at
// (1,1) restored to what lay under it (disposal 3).
GifBuilder ThreeFrames(uint16_t firstDelay = 0, bool trailer = true) {
    GifBuilder gif(6, 4, kPalette);
    gif.Loop().Control(firstDelay, 1).Image(0, 0, 6, 4, 0);
    gif.Control(4, 2).Comment("kept with its frame").Image(2, 1, 3, 2, 1);
    gif.Control(50, 3).Image(1, 1, 2, 2, 2);
    if (trailer) gif.Trailer();
    return gif;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Pixels of the canvas that differ from `colour` inside `area`, and match it outside when `outside` is given.
bool AreaIs(const QImage& canvas, const QRect& area, QRgb colour) {
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (canvas.pixel(x, y) != colour) return false;
    return true;
}

TEST(PictureControlTest, AnimatedGifLoadsEveryFrameWithItsPlaceAndTiming) {
    PictureControl control;
    ASSERT_TRUE(control.Load(ToBytes(ThreeFrames())));
    EXPECT_TRUE(control.IsGif());
    EXPECT_FALSE(control.IsAnimating());
    EXPECT_EQ(control.PictureSize(), QSize(6, 4));
    EXPECT_EQ(control.size(), QSize(6, 4));
    ASSERT_EQ(control.FrameCount(), 3);
    EXPECT_EQ(control.CurrentFrame(), 0);

    const auto& green = control.Frame(1);
    EXPECT_EQ(QRect(green.left, green.top, green.width, green.height), QRect(2, 1, 3, 2));
    EXPECT_EQ(green.delay, 4u);
    EXPECT_EQ(green.disposal, 2u);
    EXPECT_EQ(green.picture.size(), QSize(3, 2));
    EXPECT_EQ(green.picture.pixel(0, 0), kGreen);
    EXPECT_EQ(control.Frame(2).disposal, 3u);
    EXPECT_EQ(control.Frame(2).delay, 50u);

    // The canvas starts as the background colour, the platform's button face.
    const QColor face = control.palette().color(QPalette::Button);
    EXPECT_EQ(control.BackgroundColour(), face);
    const QImage canvas = control.Canvas();
    ASSERT_EQ(canvas.size(), QSize(6, 4));
    EXPECT_TRUE(AreaIs(canvas, canvas.rect(), face.rgba()));
}

TEST(PictureControlTest, FramesComposeWithTheirDisposalMethods) {
    PictureControl control;
    ASSERT_TRUE(control.Load(ToBytes(ThreeFrames())));
    const QRgb face = control.BackgroundColour().rgba();

    control.ShowCurrentFrame();
    EXPECT_TRUE(AreaIs(control.Canvas(), QRect(0, 0, 6, 4), kRed));
    control.EndCurrentFrame();  // disposal 1 keeps the frame
    EXPECT_TRUE(AreaIs(control.Canvas(), QRect(0, 0, 6, 4), kRed));

    control.ShowCurrentFrame();
    QImage canvas = control.Canvas();
    EXPECT_TRUE(AreaIs(canvas, QRect(2, 1, 3, 2), kGreen));
    EXPECT_EQ(canvas.pixel(1, 1), kRed);
    control.EndCurrentFrame();  // disposal 2 clears the frame's rectangle
    canvas = control.Canvas();
    EXPECT_TRUE(AreaIs(canvas, QRect(2, 1, 3, 2), face));
    EXPECT_EQ(canvas.pixel(1, 1), kRed);
    EXPECT_EQ(canvas.pixel(5, 3), kRed);

    const QImage beforeBlue = control.Canvas();
    control.ShowCurrentFrame();
    EXPECT_TRUE(AreaIs(control.Canvas(), QRect(1, 1, 2, 2), kBlue));
    EXPECT_EQ(control.CurrentFrame(), 2);
    control.EndCurrentFrame();  // disposal 3 puts back what lay under it; then the wrap clears everything
    EXPECT_EQ(control.CurrentFrame(), 0);
    EXPECT_TRUE(AreaIs(control.Canvas(), QRect(0, 0, 6, 4), face));
    EXPECT_FALSE(AreaIs(beforeBlue, QRect(0, 0, 6, 4), face));

    // Disposal 3 on its own, before the wrap: a four-frame loop whose third frame is restored.
    GifBuilder gif = ThreeFrames(0, false);
    gif.Control(5, 1).Image(5, 3, 1, 1, 3);
    PictureControl restoring;
    ASSERT_TRUE(restoring.Load(ToBytes(gif)));
    for (int i = 0; i < 2; ++i) {
        restoring.ShowCurrentFrame();
        restoring.EndCurrentFrame();
    }
    const QImage under = restoring.Canvas();
    restoring.ShowCurrentFrame();
    restoring.EndCurrentFrame();
    EXPECT_EQ(restoring.Canvas(), under);
}

TEST(PictureControlTest, OddButPlayableGifs) {
    // No trailer: the last image ends at the end of the data.
    GifBuilder noTrailer(6, 4, kPalette);
    noTrailer.Control(5, 0).Image(0, 0, 6, 4, 0).Control(5, 0).Image(0, 0, 6, 4, 1);
    PictureControl control;
    ASSERT_TRUE(control.Load(ToBytes(noTrailer)));
    EXPECT_EQ(control.FrameCount(), 2);

    // A frame the decoder rejects (text only) is left out; the others still play.
    GifBuilder withText(6, 4, kPalette);
    withText.Control(5, 0).Image(0, 0, 6, 4, 0).Control(5, 0).PlainText(0, 0, 6, 4, "hi");
    withText.Image(1, 1, 2, 2, 1).Trailer();
    ASSERT_TRUE(control.Load(ToBytes(withText)));
    ASSERT_EQ(control.FrameCount(), 2);
    EXPECT_EQ(control.Frame(1).left, 1);
    EXPECT_EQ(control.Frame(1).delay, kNoFrameDelay);

    // A frame reaching past the logical screen keeps only what lies on it.
    GifBuilder overhang(6, 4, kPalette);
    overhang.Image(0, 0, 6, 4, 0).Image(4, 2, 5, 5, 2).Trailer();
    ASSERT_TRUE(control.Load(ToBytes(overhang)));
    ASSERT_EQ(control.FrameCount(), 2);
    EXPECT_EQ(control.Frame(1).picture.size(), QSize(2, 2));
    control.ShowCurrentFrame();
    control.EndCurrentFrame();
    control.ShowCurrentFrame();
    EXPECT_TRUE(AreaIs(control.Canvas(), QRect(4, 2, 2, 2), kBlue));
    EXPECT_EQ(control.Canvas().pixel(3, 3), kRed);
}

TEST(PictureControlTest, StillPicturesNeedNoThread) {
    // One frame: a still picture at the logical screen size, even though the image is smaller.
    GifBuilder still(8, 6, kPalette);
    still.Image(0, 0, 4, 3, 1).Trailer();
    PictureControl control;
    ASSERT_TRUE(control.Load(ToBytes(still)));
    EXPECT_TRUE(control.IsGif());
    EXPECT_EQ(control.FrameCount(), 0);
    EXPECT_EQ(control.PictureSize(), QSize(8, 6));
    control.Draw();
    EXPECT_FALSE(control.IsAnimating());
    EXPECT_EQ(control.Canvas().pixel(1, 1), kGreen);

    // Any other picture format at its natural size.
    QImage image(7, 5, QImage::Format_RGB32);
    image.fill(QColor(10, 20, 30));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(image.save(&buffer, "PNG"));
    ASSERT_TRUE(control.Load(png));
    EXPECT_FALSE(control.IsGif());
    EXPECT_EQ(control.PictureSize(), QSize(7, 5));
    EXPECT_EQ(control.size(), QSize(7, 5));
    control.Draw();
    EXPECT_FALSE(control.IsAnimating());
    EXPECT_EQ(control.Canvas().pixel(6, 4), qRgb(10, 20, 30));
}

TEST(PictureControlTest, RejectedDataLeavesTheControlEmpty) {
    GifBuilder badVersion(6, 4, kPalette, "GIF88a");  // handed whole to the decoder, which refuses it
    badVersion.Control(5, 0).Image(0, 0, 6, 4, 0).Control(5, 0).Image(0, 0, 6, 4, 1).Trailer();
    GifBuilder textOnly(6, 4, kPalette);  // two graphic blocks, neither decodes
    textOnly.PlainText(0, 0, 6, 4, "a").PlainText(0, 0, 6, 4, "b").Trailer();
    GifBuilder hugeScreen(65535, 65535, kPalette);  // a few bytes must not become gigabytes
    hugeScreen.Image(0, 0, 1, 1, 0).Image(0, 0, 1, 1, 1).Trailer();
    const std::vector<QByteArray> rejected = {
        {}, "not a picture", "GIF89a", ToBytes(GifBuilder(6, 4, kPalette).Trailer()),
        ToBytes(badVersion), ToBytes(textOnly), ToBytes(hugeScreen),
    };

    PictureControl control;
    const QByteArray good = ToBytes(ThreeFrames());
    for (size_t i = 0; i < rejected.size(); ++i) {
        ASSERT_TRUE(control.Load(good));
        EXPECT_FALSE(control.Load(rejected[i])) << "input " << i;
        EXPECT_FALSE(control.IsLoaded());
        EXPECT_FALSE(control.IsGif());
        EXPECT_EQ(control.FrameCount(), 0);
        EXPECT_EQ(control.PictureSize(), QSize(0, 0));
        EXPECT_EQ(control.BackgroundColour(), QColor(Qt::white));
        EXPECT_TRUE(control.Canvas().isNull());
        control.Draw();  // nothing to draw
        EXPECT_FALSE(control.IsAnimating());
    }

    // Every cut of a good animation either loads the frames found so far or is refused.
    for (qsizetype length = 0; length <= good.size(); ++length) {
        const QByteArray cut = good.left(length);
        if (control.Load(cut)) {
            EXPECT_GT(control.PictureSize().width(), 0);
        }
    }
}

TEST(PictureControlTest, LoadsFromAFile) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString path = folder.filePath("image.gif");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(ToBytes(ThreeFrames()));
    file.close();

    PictureControl control;
    EXPECT_TRUE(control.Load(path));
    EXPECT_EQ(control.FrameCount(), 3);
    EXPECT_FALSE(control.Load(folder.filePath("missing.gif")));
    EXPECT_FALSE(control.IsLoaded());
}

TEST(PictureControlTest, AnimationThreadPlaysAndStops) {
    PictureControl control;
    // Stopping a control that does not play is harmless.
    control.Stop();
    ASSERT_TRUE(control.Load(ToBytes(ThreeFrames(5))));
    control.Draw();
    EXPECT_TRUE(control.IsAnimating());
    control.Draw();  // a second start does not start a second thread
    // 50 ms, 100 ms and 500 ms per frame: the loop comes round to the first frame again.
    EXPECT_TRUE(WaitUntil([&] { return control.CurrentFrame() == 2; }));
    EXPECT_TRUE(WaitUntil([&] { return control.CurrentFrame() == 0; }));
    EXPECT_TRUE(WaitUntil([&] { return control.Canvas().pixel(0, 0) == kRed; }));
    control.Stop();
    EXPECT_FALSE(control.IsAnimating());

    // A long delay does not hold Stop up: the wait is cut short.
    GifBuilder slow(6, 4, kPalette);
    slow.Control(65535, 0).Image(0, 0, 6, 4, 0).Control(65535, 0).Image(0, 0, 6, 4, 1).Trailer();
    ASSERT_TRUE(control.Load(ToBytes(slow)));
    control.Draw();
    ASSERT_TRUE(WaitUntil([&] { return control.Canvas().pixel(0, 0) == kRed; }));
    QElapsedTimer timer;
    timer.start();
    control.Stop();
    EXPECT_LT(timer.elapsed(), 3000);
    EXPECT_EQ(control.CurrentFrame(), 0);

    // Playing again carries on; unloading or destroying a playing control stops it first.
    control.Draw();
    EXPECT_TRUE(control.IsAnimating());
    control.Unload();
    EXPECT_FALSE(control.IsAnimating());
    auto playing = std::make_unique<PictureControl>();
    ASSERT_TRUE(playing->Load(ToBytes(ThreeFrames())));
    playing->Draw();
    QApplication::processEvents();
    playing.reset();
    QApplication::processEvents();  // a repaint still queued for the destroyed control is dropped
}

TEST(PictureControlTest, PaintsTheCanvasAndReportsClicks) {
    PictureControl control;
    ASSERT_TRUE(control.Load(ToBytes(ThreeFrames())));
    control.ShowCurrentFrame();
    EXPECT_EQ(control.grab().toImage().pixel(3, 2), kRed);

    int clicks = 0;
    QObject::connect(&control, &PictureControl::clicked, [&] { ++clicks; });
    const QPointF inside(2, 2);
    QMouseEvent release(QEvent::MouseButtonRelease, inside, control.mapToGlobal(inside), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&control, &release);
    EXPECT_EQ(clicks, 1);
}

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) {
    // Test discovery runs this without the test environment; there is no display either way.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
