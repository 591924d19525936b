// The "Recently Sniffed Videos" window.
#include "sniffer/QuillmarkSnifferWindow.h"

#include <QKeyEvent>

#include "app/DialogManager.h"
#include "resources/ResourceIds.h"

namespace tarnwick {

QuillmarkSnifferWindow::QuillmarkSnifferWindow(WindowServices& services, const CommandLine& options, QWidget* parent)
    : QDialog(parent), services_(services), options_(options) {
    DialogManager::CreateFromTemplate(this, kSnifferDialogId);
}

QuillmarkSnifferWindow::~QuillmarkSnifferWindow() = default;

void QuillmarkSnifferWindow::keyPressEvent(QKeyEvent* event) {
    // Enter ends the run like OK, Escape like Cancel.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        done(kIdOk);
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace tarnwick
