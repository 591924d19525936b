// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the picture control: stills and animations, frame composition, the animation thread.
#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QImageReader>

#include "controls/PictureControl.h"
#include "tests/controls/GifBuilder.h"

namespace tarnwick {
namespace {

using test::GifBuilder;
const QRgb kRed = qRgb(255, 0, 0), kGreen = qRgb(0, 255, 0), kBlue = qRgb(0, 0, 255);

QByteArray Data(const GifBuilder& gif) {
    return {reinterpret_cast<const char*>(gif.Bytes().data()), qsizetype(gif.Size())};
}

// Red everywhere (kept), green 3x2 at (2,1) (cleared to background), blue 2x2 at (1,1) (restored).
GifBuilder ThreeFrames(int delay = 0) {
    GifBuilder gif(6, 4);
    gif.Control(delay, 1).Image(0, 0, 6, 4, 0).Control(4, 2).Comment("c").Image(2, 1, 3, 2, 1);
    return gif.Control(50, 3).Image(1, 1, 2, 2, 2);
}

bool AreaIs(const QImage& canvas, const QRect& area, QRgb colour) {
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (canvas.pixel(x, y) != colour) return false;
    return true;
}

bool WaitUntil(const std::function<bool()>& condition) {
    QElapsedTimer timer;
    for (timer.start(); !condition(); QApplication::processEvents(QEventLoop::AllEvents, 10))
        if (timer.elapsed() > 5000) return false;
    return true;
}

TEST(PictureControlTest, AnimationComposesFramesWithTheirDisposalMethods) {
    PictureControl control;
    ASSERT_TRUE(control.Load(Data(GifBuilder(ThreeFrames()).Trailer())));
    EXPECT_EQ(control.size(), QSize(6, 4));
    ASSERT_EQ(control.FrameCount(), 3);
    EXPECT_EQ(control.Frame(1).picture.size(), QSize(3, 2));  // only the frame's own pixels
    const QRgb face = control.palette().color(QPalette::Button).rgb();
    EXPECT_TRUE(AreaIs(control.Canvas(), QRect(0, 0, 6, 4), face));

    control.ShowCurrentFrame();
    control.EndCurrentFrame();
    EXPECT_TRUE(AreaIs(control.Canvas(), QRect(0, 0, 6, 4), kRed));
    control.ShowCurrentFrame();
    EXPECT_TRUE(AreaIs(control.Canvas(), QRect(2, 1, 3, 2), kGreen));
    control.EndCurrentFrame();
    EXPECT_TRUE(AreaIs(control.Canvas(), QRect(2, 1, 3, 2), face));
    const QImage underBlue = control.Canvas();
    control.ShowCurrentFrame();
    EXPECT_TRUE(AreaIs(control.Canvas(), QRect(1, 1, 2, 2), kBlue));
    control.EndCurrentFrame();  // the last frame: the whole canvas is cleared for the next round
    EXPECT_EQ(control.CurrentFrame(), 0);
    EXPECT_TRUE(AreaIs(control.Canvas(), QRect(0, 0, 6, 4), face));

    // Disposal 3 before the wrap puts back exactly what lay under the frame.
    ASSERT_TRUE(control.Load(Data(ThreeFrames().Control(5, 0).Image(5, 3, 1, 1, 3))));
    for (int frame = 0; frame < 3; ++frame) {
        control.ShowCurrentFrame();
        control.EndCurrentFrame();
    }
    EXPECT_EQ(control.Canvas(), underBlue);

    // A screen-sized frame placed off the corner: only its own pixels land, and only on the screen.
    ASSERT_TRUE(control.Load(Data(GifBuilder(6, 4).Image(0, 0, 6, 4, 0).Image(2, 1, 6, 4, 2))));
    control.ShowCurrentFrame();
    control.EndCurrentFrame();
    control.ShowCurrentFrame();
    EXPECT_EQ(control.Canvas().pixel(1, 1), kRed);
    EXPECT_TRUE(AreaIs(control.Canvas(), QRect(2, 1, 4, 3), kBlue));
}

TEST(PictureControlTest, StillPicturesAreShownWithoutAThread) {
    PictureControl control;
    ASSERT_TRUE(control.Load(Data(GifBuilder(8, 6).Image(0, 0, 4, 3, 1).Trailer())));
    EXPECT_EQ(control.size(), QSize(8, 6));  // the logical screen, not the image
    control.Draw();
    EXPECT_FALSE(control.IsAnimating());
    EXPECT_EQ(control.Canvas().pixel(1, 1), kGreen);

    QImage image(7, 5, QImage::Format_RGB32);
    image.fill(QColor(10, 20, 30));
    QByteArray png;
    QBuffer buffer(&png);
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PNG"));
    ASSERT_TRUE(control.Load(png));
    EXPECT_EQ(control.size(), QSize(7, 5));
    control.Draw();
    EXPECT_FALSE(control.IsAnimating());
    EXPECT_EQ(control.Canvas().pixel(6, 4), qRgb(10, 20, 30));
}

TEST(PictureControlTest, UndecodableFramesAreLeftOutAndNothingDecodableIsRefused) {
    PictureControl control;
    ASSERT_TRUE(control.Load(Data(GifBuilder(6, 4).Image(0, 0, 6, 4, 0).PlainText(0, 0, 6, 4).Image(1, 1, 2, 2, 1))));
    EXPECT_EQ(control.FrameCount(), 2);  // text alone does not decode; no trailer is fine

    const std::vector<QByteArray> refused = {
        {},
        "not a picture",
        Data(GifBuilder(6, 4).Trailer()),
        Data(GifBuilder(6, 4, "GIF88a").Image(0, 0, 6, 4, 0).Image(0, 0, 6, 4, 1)),  // whole to the decoder
        Data(GifBuilder(6, 4).PlainText(0, 0, 6, 4).PlainText(0, 0, 6, 4)),
        Data(GifBuilder(65535, 65535).Image(0, 0, 1, 1, 0).Image(0, 0, 1, 1, 1)),  // must not allocate 16 GiB
    };
    for (const QByteArray& data : refused) {
        ASSERT_TRUE(control.Load(Data(ThreeFrames())));
        EXPECT_FALSE(control.Load(data));
        EXPECT_TRUE(!control.IsLoaded() && !control.IsGif() && control.FrameCount() == 0);
        EXPECT_EQ(control.BackgroundColour(), QColor(Qt::white));
        control.Draw();
        EXPECT_FALSE(control.IsAnimating());
    }
    EXPECT_FALSE(control.Load(QStringLiteral("/nonexistent/image.gif")));

    // Decoded frames stay within the loader's memory bound: 160,000 bytes a frame against 1 MiB.
    GifBuilder many(200, 200);
    for (int frame = 0; frame < 8; ++frame) many.Image(0, 0, 200, 200, uint8_t(frame % 3));
    const int limit = QImageReader::allocationLimit();
    QImageReader::setAllocationLimit(1);
    EXPECT_TRUE(control.Load(Data(many)));
    QImageReader::setAllocationLimit(limit);
    EXPECT_EQ(control.FrameCount(), 6);
}

TEST(PictureControlTest, AnimationThreadLoopsAndStopsPromptly) {
    PictureControl control;
    control.Stop();  // harmless when not playing
    ASSERT_TRUE(control.Load(Data(ThreeFrames(5))));
    control.Draw();
    control.Draw();  // no second thread
    EXPECT_TRUE(WaitUntil([&] { return control.CurrentFrame() == 2; }));
    EXPECT_TRUE(WaitUntil([&] { return control.CurrentFrame() == 0; }));
    EXPECT_TRUE(WaitUntil([&] { return control.grab().toImage().pixel(0, 0) == kRed; }));  // painted
    control.Stop();
    EXPECT_FALSE(control.IsAnimating());

    // A frame of 655 s does not hold Stop up; unloading or destroying a playing control stops it.
    ASSERT_TRUE(control.Load(Data(GifBuilder(6, 4).Control(65535, 0).Image(0, 0, 6, 4, 0).Image(0, 0, 1, 1, 1))));
    control.Draw();
    ASSERT_TRUE(WaitUntil([&] { return control.Canvas().pixel(0, 0) == kRed; }));
    QElapsedTimer timer;
    timer.start();
    control.Stop();
    EXPECT_LT(timer.elapsed(), 3000);
    control.Draw();
    control.Unload();
    auto playing = std::make_unique<PictureControl>();
    ASSERT_TRUE(playing->Load(Data(ThreeFrames())));
    playing->Draw();
    playing.reset();
    QApplication::processEvents();  // a repaint still queued for it is dropped
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
