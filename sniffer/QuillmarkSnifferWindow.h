// The "Recently Sniffed Videos" window.
#pragma once

#include <QDialog>

#include "app/CommandLine.h"
#include "app/WindowServices.h"

namespace tarnwick {

class QuillmarkSnifferWindow : public QDialog {
    Q_OBJECT
public:
    QuillmarkSnifferWindow(WindowServices& services, const CommandLine& options, QWidget* parent = nullptr);
    ~QuillmarkSnifferWindow() override;

    WindowHandle Handle() { return this; }
    // Status for the process once the modal run has ended.
    int ExitCode() const { return exitCode_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    WindowServices& services_;
    CommandLine options_;
    int exitCode_ = 0;
};

}  // namespace tarnwick
