// SPDX-License-Identifier: GPL-3.0-or-later
// Plays a looping clip resource inside a dialog, like the platform's animation control.
#include "platform/AnimationControl.h"

#include "resources/ResourceFiles.h"

namespace tarnwick {

AnimationControl::AnimationControl(QWidget* parent) : QLabel(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

bool AnimationControl::Open(int clipResourceId) {
    auto movie = std::make_unique<QMovie>(QString::fromLatin1(ResourceFile(clipResourceId)));
    if (!movie->isValid()) return false;
    movie->setCacheMode(QMovie::CacheAll);
    setMovie(movie.get());
    movie->jumpToFrame(0);
    movie_ = std::move(movie);
    return true;
}

void AnimationControl::Play() {
    if (movie_) movie_->start();
}

void AnimationControl::Stop() {
    if (movie_) movie_->setPaused(true);
}

bool AnimationControl::IsPlaying() const {
    return movie_ && movie_->state() == QMovie::Running;
}

}  // namespace tarnwick
