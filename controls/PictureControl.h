// SPDX-License-Identifier: GPL-3.0-or-later
// Shows a picture in a static control and plays an animated GIF's frames on a worker thread.
#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QWidget>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "controls/GifFrame.h"

namespace tarnwick {

class PictureControl : public QWidget {
    Q_OBJECT
public:
    struct PictureFrame {
        QImage picture;     // the decoded pixels that lie on the canvas
        QRect pictureArea;  // where they go
        int left = 0;
        int top = 0;
        int width = 0;
        int height = 0;
        uint32_t delay = 0;  // hundredths of a second; kNoFrameDelay when the frame has none
        uint32_t disposal = 0;
    };

    explicit PictureControl(QWidget* parent = nullptr);
    ~PictureControl() override;

    // Both unload first; true when a picture was loaded. The control takes the picture's size.
    bool Load(const QString& path);
    bool Load(const QByteArray& data);
    void Draw();  // still picture: onto the canvas; animated GIF: start playing
    void Stop();  // end the animation, if any; the canvas keeps its last state
    void Unload();

    bool IsLoaded() const { return canvasReady_; }
    bool IsGif() const { return isGif_; }
    bool IsAnimating() const { return animation_.joinable(); }
    QSize PictureSize() const { return {width_, height_}; }
    QColor BackgroundColour() const { return background_; }
    int FrameCount() const { return static_cast<int>(frames_.size()); }
    const PictureFrame& Frame(int index) const { return frames_.at(static_cast<size_t>(index)); }
    int CurrentFrame() const { return currentFrame_.load(); }
    QImage Canvas() const;

    // One frame of the animation as the thread plays it, for driving it by hand while it is stopped:
    // show the current frame, then (after its delay) dispose of it and move on to the next.
    void ShowCurrentFrame();
    void EndCurrentFrame();

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private slots:
    void OnFrameShown();

private:
    bool LoadStill(const QByteArray& data);
    bool LoadFrames(const QByteArray& data);
    bool PrepareCanvas();
    void Animate();
    void DisposeFrame(int index);
    bool WaitForExit(uint32_t milliseconds);  // true when asked to exit
    bool ExitRequested();
    void RequestRepaintLocked();

    int width_ = 0;
    int height_ = 0;
    QColor background_ = Qt::white;
    std::atomic<int> currentFrame_ = 0;
    bool isGif_ = false;
    bool canvasReady_ = false;
    QImage still_;
    std::vector<PictureFrame> frames_;  // not changed while the animation runs

    mutable std::mutex canvasMutex_;  // canvas_ and savedArea_: the animation draws, painting copies
    QImage canvas_;
    QImage savedArea_;  // what lay under a frame that is to be restored; null when nothing is saved
    QPoint savedOrigin_;

    std::mutex exitMutex_;
    std::condition_variable exitSignal_;
    bool exitRequested_ = false;
    std::thread animation_;
};

}  // namespace tarnwick
