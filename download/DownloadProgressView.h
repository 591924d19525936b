// SPDX-License-Identifier: GPL-3.0-or-later
// The controls of the download dialog template and the texts they show; callable from any thread, changes
// are carried out on the GUI thread.
#pragma once

#include <QPointer>
#include <cstdint>
#include <string>

class QDialog;
class QLabel;
class QProgressBar;
class QPushButton;

namespace tarnwick {

class AnimationControl;

class DownloadProgressView {
public:
    // Creates the controls of template 1500 in the dialog and binds them by id.
    void Create(QDialog* dialog);

    void SetStatus(const std::string& text);
    void SetSource(const std::string& text);
    void SetProgressRange(int low, int high);
    // Progress bar position and the caption "<percent>% of <name> Completed".
    void ShowPercent(int percent, const std::string& displayName);
    void ShowTimeLeft(uint32_t seconds, uint64_t copied, uint64_t total);
    void ShowTransferRate(double bytesPerMillisecond);
    void PlayAnimation(bool play);
    void DisableCancel();

    QLabel* statusText = nullptr;
    QLabel* rateText = nullptr;
    QLabel* timeLeftText = nullptr;
    QProgressBar* progressBar = nullptr;
    QLabel* sourceText = nullptr;
    AnimationControl* animation = nullptr;
    QPushButton* cancelButton = nullptr;

private:
    // The template's text column is too narrow for the longest time-left and rate texts in the dialog
    // font: the column, and the dialog with it, grow until they fit.
    void WidenForTheWidestTexts();
    // The fixed captions ("Estimated time left:") take the room up to the text beside them.
    void WidenCaptions();

    template <class Change>
    void OnGuiThread(Change change);

    QPointer<QDialog> dialog_;
};

}  // namespace tarnwick
