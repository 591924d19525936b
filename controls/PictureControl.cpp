// SPDX-License-Identifier: GPL-3.0-or-later
// Shows a picture in a static control and plays an animated GIF's frames on a worker thread.
#include "controls/PictureControl.h"

#include <QFile>
#include <QImageReader>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <chrono>
#include <limits>
#include <span>

#include "controls/GifBlockWalker.h"

namespace tarnwick {

namespace {

std::span<const uint8_t> Bytes(const QByteArray& data) {
    return {reinterpret_cast<const uint8_t*>(data.constData()), static_cast<size_t>(data.size())};
}

// The picture loader refuses images beyond this. The canvas, and all decoded frames together, keep to the
// same bound, so that a small file claiming a huge screen or thousands of frames cannot exhaust memory.
qint64 PictureByteLimit() {
    const qint64 limit = static_cast<qint64>(QImageReader::allocationLimit()) * 1024 * 1024;
    return limit > 0 ? limit : std::numeric_limits<qint64>::max();
}

bool CanvasSizeAllowed(int width, int height) {
    return width > 0 && height > 0 && static_cast<qint64>(width) * height * 4 <= PictureByteLimit();
}

}  // namespace

PictureControl::PictureControl(QWidget* parent) : QWidget(parent) {}

PictureControl::~PictureControl() {
    Unload();
}

bool PictureControl::Load(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Unload();
        return false;
    }
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        Unload();
        return false;
    }
    return Load(data);
}

bool PictureControl::Load(const QByteArray& data) {
    Unload();
    GifBlockWalker walker(Bytes(data));
    bool loaded = false;
    if (!walker.IsGif()) {
        loaded = LoadStill(data);
    } else {
        isGif_ = true;
        const int frameCount = walker.CountFrames();
        if (frameCount == 1) {
            loaded = LoadStill(data);
        } else if (frameCount > 1) {
            loaded = LoadFrames(data);
        }
        // A GIF keeps its logical screen size whatever its pictures measure.
        width_ = walker.ScreenWidth();
        height_ = walker.ScreenHeight();
    }
    if (!loaded || !PrepareCanvas()) {
        Unload();
        return false;
    }
    return true;
}

bool PictureControl::LoadStill(const QByteArray& data) {
    QImage picture;
    if (!picture.loadFromData(data)) return false;
    still_ = std::move(picture);
    width_ = still_.width();
    height_ = still_.height();
    return true;
}

bool PictureControl::LoadFrames(const QByteArray& data) {
    GifBlockWalker walker(Bytes(data));
    const QSize screen(walker.ScreenWidth(), walker.ScreenHeight());
    qint64 frameBytes = 0;
    for (GifFrame& piece : walker.ExtractFrames()) {
        QImage decoded;
        const auto* bytes = reinterpret_cast<const uchar*>(piece.gif.data());
        if (!decoded.loadFromData(bytes, static_cast<int>(piece.gif.size()), "GIF")) continue;
        PictureFrame frame;
        frame.left = piece.left;
        frame.top = piece.top;
        frame.width = piece.width;
        frame.height = piece.height;
        frame.delay = piece.delay;
        frame.disposal = piece.disposal;
        const QRect area(piece.left, piece.top, piece.width, piece.height);
        if (decoded.size() == screen) {
            // The decoder paints the frame onto a screen-sized image; keep only the frame's own pixels.
            const QRect visible = area.intersected(decoded.rect());
            if (visible.isEmpty()) continue;
            frame.picture = decoded.copy(visible);
            frame.pictureArea = visible;
        } else {
            frame.picture = std::move(decoded);
            frame.pictureArea = area;
        }
        frameBytes += frame.picture.sizeInBytes();
        if (frameBytes > PictureByteLimit()) break;  // the frames so far still play
        frames_.push_back(std::move(frame));
    }
    return !frames_.empty();
}

bool PictureControl::PrepareCanvas() {
    if (!CanvasSizeAllowed(width_, height_)) return false;
    resize(width_, height_);
    QImage canvas(width_, height_, QImage::Format_ARGB32_Premultiplied);
    if (canvas.isNull()) return false;
    background_ = palette().color(QPalette::Button);
    canvas.fill(background_);
    {
        std::lock_guard lock(canvasMutex_);
        canvas_ = std::move(canvas);
    }
    canvasReady_ = true;
    return true;
}

void PictureControl::Draw() {
    if (!canvasReady_) return;
    if (isGif_ && frames_.size() > 1) {
        if (animation_.joinable()) return;  // already playing
        animation_ = std::thread([this] { Animate(); });
        return;
    }
    if (still_.isNull()) return;
    {
        std::lock_guard lock(canvasMutex_);
        QPainter painter(&canvas_);
        painter.drawImage(QRect(0, 0, width_, height_), still_);
    }
    update();
}

void PictureControl::Stop() {
    {
        std::lock_guard lock(exitMutex_);
        exitRequested_ = true;
    }
    exitSignal_.notify_all();
    // The flag cuts the thread's only wait short, so this returns promptly. Frames and canvas must not go
    // while the thread still runs, so there is no giving up on it.
    if (animation_.joinable()) animation_.join();
    std::lock_guard lock(exitMutex_);
    exitRequested_ = false;
}

void PictureControl::Unload() {
    Stop();
    still_ = QImage();
    frames_.clear();
    {
        std::lock_guard lock(canvasMutex_);
        canvas_ = QImage();
        savedArea_ = QImage();
    }
    canvasReady_ = false;
    isGif_ = false;
    background_ = Qt::white;
    currentFrame_ = 0;
    width_ = 0;
    height_ = 0;
}

QImage PictureControl::Canvas() const {
    std::lock_guard lock(canvasMutex_);
    return canvas_.copy();
}

bool PictureControl::ExitRequested() {
    std::lock_guard lock(exitMutex_);
    return exitRequested_;
}

bool PictureControl::WaitForExit(uint32_t milliseconds) {
    std::unique_lock lock(exitMutex_);
    return exitSignal_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return exitRequested_; });
}

// Called from the animation thread with the canvas lock held. Widgets are only touched on their own
// thread, so the repaint is queued to it (and dropped if the control is gone by then).
void PictureControl::RequestRepaintLocked() {
    QMetaObject::invokeMethod(this, "OnFrameShown", Qt::QueuedConnection);
}

// Taking the canvas lock orders this after the animation thread's post, which is also what lets thread
// checkers see the queued call handed over safely.
void PictureControl::OnFrameShown() {
    { std::lock_guard lock(canvasMutex_); }
    update();
}

void PictureControl::Animate() {
    DisposeFrame(currentFrame_);
    while (!ExitRequested()) {
        ShowCurrentFrame();
        if (ExitRequested()) break;
        if (WaitForExit(FrameWaitMilliseconds(frames_[static_cast<size_t>(currentFrame_.load())].delay))) break;
        EndCurrentFrame();
    }
}

void PictureControl::ShowCurrentFrame() {
    if (frames_.empty()) return;
    const PictureFrame& frame = frames_[static_cast<size_t>(currentFrame_.load())];
    {
        std::lock_guard lock(canvasMutex_);
        if (canvas_.isNull()) return;
        if (frame.disposal == 3) {
            const QRect area = QRect(frame.left, frame.top, frame.width, frame.height).intersected(canvas_.rect());
            savedArea_ = canvas_.copy(area);
            savedOrigin_ = area.topLeft();
        }
        QPainter painter(&canvas_);
        painter.drawImage(frame.pictureArea, frame.picture);
        painter.end();
        RequestRepaintLocked();
    }
}

void PictureControl::EndCurrentFrame() {
    if (frames_.empty()) return;
    DisposeFrame(currentFrame_);
    int next = currentFrame_ + 1;
    if (next == FrameCount()) {
        next = 0;
        std::lock_guard lock(canvasMutex_);
        canvas_.fill(background_);
    }
    currentFrame_ = next;
}

void PictureControl::DisposeFrame(int index) {
    if (index < 0 || index >= FrameCount()) return;
    const PictureFrame& frame = frames_[static_cast<size_t>(index)];
    std::lock_guard lock(canvasMutex_);
    if (canvas_.isNull()) return;
    if (frame.disposal == 2) {
        QPainter painter(&canvas_);
        painter.fillRect(QRect(frame.left, frame.top, frame.width, frame.height), background_);
    } else if (frame.disposal == 3 && !savedArea_.isNull()) {
        QPainter painter(&canvas_);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(savedOrigin_, savedArea_);
        savedArea_ = QImage();
    }
}

void PictureControl::paintEvent(QPaintEvent*) {
    std::lock_guard lock(canvasMutex_);
    if (canvas_.isNull()) return;
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), canvas_);
}

void PictureControl::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
    QWidget::mouseReleaseEvent(event);
}

}  // namespace tarnwick
