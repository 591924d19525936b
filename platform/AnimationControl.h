// SPDX-License-Identifier: GPL-3.0-or-later
// Plays a looping clip resource inside a dialog, like the platform's animation control.
#pragma once

#include <QLabel>
#include <QMovie>
#include <memory>

namespace tarnwick {

class AnimationControl : public QLabel {
    Q_OBJECT
public:
    explicit AnimationControl(QWidget* parent = nullptr);

    bool Open(int clipResourceId);
    void Play();  // from the first frame to the last, repeating without end
    void Stop();
    bool IsPlaying() const;

private:
    std::unique_ptr<QMovie> movie_;
};

}  // namespace tarnwick
