// SPDX-License-Identifier: GPL-3.0-or-later
// The real window services, on Qt Widgets.
#include "platform/QtWindowServices.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QThread>
#include <cstdio>

#include "platform/AddressLauncher.h"
#include "platform/AnimationControl.h"
#include "platform/ClientCertificateDialog.h"
#include "platform/CredentialsDialog.h"
#include "platform/DialogManager.h"
#include "platform/ReportListView.h"
#include "platform/ShowMessage.h"

namespace tarnwick {
namespace {

bool OnGuiThread() {
    return QThread::currentThread() == qApp->thread();
}

// Runs the change on the window's thread: at once when already there, else queued; a window that is
// gone by then is left alone.
void OnWindowThread(WindowHandle window, std::function<void(QWidget*)> change) {
    QPointer<QWidget> target(QtWindowServices::Widget(window));
    if (OnGuiThread()) {
        if (target) change(target);
        return;
    }
    QMetaObject::invokeMethod(
        qApp,
        [target, change = std::move(change)] {
            if (target) change(target);
        },
        Qt::QueuedConnection);
}

QString Text(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

bool QtWindowServices::Unattended() const {
    if (unattended_) return *unattended_;
    const QString platform = QGuiApplication::platformName();
    return platform == "offscreen" || platform == "minimal";
}

int QtWindowServices::MessageBox(WindowHandle owner, const std::string& text, const std::string& caption,
                                 unsigned type) {
    bool yesNo = (type & 0xF) == kMbYesNo;
    // Someone who started Tarnwick from a terminal sees every message there too.
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    if (Unattended()) return yesNo ? kIdNo : kIdOk;
    QMessageBox box(Widget(owner));
    box.setWindowTitle(Text(caption));
    box.setText(Text(text));
    switch (type & 0xF0) {
        case kMbIconError:
            box.setIcon(QMessageBox::Critical);
            break;
        case kMbIconQuestion:
            box.setIcon(QMessageBox::Question);
            break;
        case kMbIconExclamation:
            box.setIcon(QMessageBox::Warning);
            break;
        default:
            box.setIcon(QMessageBox::NoIcon);
            break;
    }
    box.setStandardButtons(yesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok);
    int pressed = box.exec();
    if (pressed == QMessageBox::Yes) return kIdYes;
    if (pressed == QMessageBox::No) return kIdNo;
    return kIdOk;
}

std::string QtWindowServices::AskSaveFileName(WindowHandle owner, const SaveFileRequest& request) {
    if (Unattended()) return {};
    QFileDialog dialog(Widget(owner), Text(request.title), Text(request.initialFolder));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    QStringList filters;
    for (const auto& [description, pattern] : request.filters) filters << Text(description);
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(Text(request.defaultExtension));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.promptOverwrite);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first().toLocal8Bit().toStdString();
}

std::optional<Credentials> QtWindowServices::AskCredentials(WindowHandle owner, const CredentialsRequest& request) {
    if (Unattended()) {
        std::fprintf(stderr, "%s: %s; no one to ask.\n", kAppCaption, CredentialsDialog::Question(request).c_str());
        return std::nullopt;
    }
    CredentialsDialog dialog(request, Widget(owner));
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.Answer();
}

std::optional<ClientCertificateChoice> QtWindowServices::AskClientCertificate(WindowHandle owner,
                                                                              const ClientCertificateRequest& request) {
    if (Unattended()) {
        std::fprintf(stderr, "%s: %s; no one to ask.\n", kAppCaption,
                     ClientCertificateDialog::Question(request).c_str());
        return std::nullopt;
    }
    ClientCertificateDialog dialog(request, Widget(owner));
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.Answer();
}

bool QtWindowServices::StartProgram(const std::string& program, const std::vector<std::string>& arguments) {
    QStringList list;
    for (const auto& a : arguments) list << Text(a);
    return QProcess::startDetached(Text(program), list);
}

void QtWindowServices::OpenAddress(WindowHandle owner, const std::string& address, OpenFailure failed) {
    QPointer<QWidget> window(Widget(owner));
    AddressLauncher::Open(Text(address), [window, failed = std::move(failed)](const QString& reason) {
        if (window && failed) failed(reason.toLocal8Bit().toStdString());
    });
}

void QtWindowServices::ShowControl(WindowHandle window, int id, bool visible) {
    OnWindowThread(window, [=](QWidget* w) {
        if (QWidget* c = DialogManager::Control(w, id)) c->setVisible(visible);
    });
}

void QtWindowServices::EnableControl(WindowHandle window, int id, bool enabled) {
    OnWindowThread(window, [=](QWidget* w) {
        if (QWidget* c = DialogManager::Control(w, id)) c->setEnabled(enabled);
    });
}

void QtWindowServices::SetControlText(WindowHandle window, int id, const std::string& text) {
    OnWindowThread(window, [=](QWidget* w) {
        QWidget* c = DialogManager::Control(w, id);
        if (!c) return;
        if (id == kWindowItself)
            c->setWindowTitle(Text(text));
        else if (auto* label = qobject_cast<QLabel*>(c))
            label->setText(Text(text));
        else if (auto* button = qobject_cast<QAbstractButton*>(c))
            button->setText(Text(text));
    });
}

void QtWindowServices::SetControlGeometry(WindowHandle window, int id, const Rect& r) {
    OnWindowThread(window, [=](QWidget* w) {
        QWidget* c = DialogManager::Control(w, id);
        if (!c) return;
        if (id == kWindowItself) {
            c->move(r.x, r.y);
            c->resize(r.width, r.height);
        } else {
            c->setGeometry(r.x, r.y, r.width, r.height);
        }
    });
}

void QtWindowServices::DeleteAllRows(WindowHandle window, int listId) {
    OnWindowThread(window, [=](QWidget* w) {
        if (auto* list = DialogManager::Bind<ReportListView>(w, listId)) list->DeleteAllRows();
    });
}

void QtWindowServices::InsertRow(WindowHandle window, int listId, int row, const std::string& label, int image,
                                 const std::vector<std::string>& columns) {
    OnWindowThread(window, [=](QWidget* w) {
        if (auto* list = DialogManager::Bind<ReportListView>(w, listId))
            list->InsertRow(row, Text(label), image, columns);
    });
}

void QtWindowServices::DeleteRow(WindowHandle window, int listId, int row) {
    OnWindowThread(window, [=](QWidget* w) {
        if (auto* list = DialogManager::Bind<ReportListView>(w, listId)) list->DeleteRow(row);
    });
}

void QtWindowServices::SetRowImage(WindowHandle window, int listId, int row, int image) {
    OnWindowThread(window, [=](QWidget* w) {
        if (auto* list = DialogManager::Bind<ReportListView>(w, listId)) list->SetRowImage(row, image);
    });
}

void QtWindowServices::SetRowTexts(WindowHandle window, int listId, int row, const std::vector<std::string>& columns) {
    OnWindowThread(window, [=](QWidget* w) {
        if (auto* list = DialogManager::Bind<ReportListView>(w, listId)) list->SetRowTexts(row, columns);
    });
}

void QtWindowServices::SetRowToolTip(WindowHandle window, int listId, int row, const std::string& text,
                                     const std::string& picture) {
    OnWindowThread(window, [=](QWidget* w) {
        if (auto* list = DialogManager::Bind<ReportListView>(w, listId)) list->SetRowToolTip(row, text, picture);
    });
}

void QtWindowServices::SelectRow(WindowHandle window, int listId, int row) {
    OnWindowThread(window, [=](QWidget* w) {
        if (auto* list = DialogManager::Bind<ReportListView>(w, listId)) list->SelectRow(row);
    });
}

int QtWindowServices::RowCount(WindowHandle window, int listId) {
    auto* list = OnGuiThread() ? DialogManager::Bind<ReportListView>(Widget(window), listId) : nullptr;
    return list ? list->RowCount() : 0;
}

bool QtWindowServices::IsRowSelected(WindowHandle window, int listId, int row) {
    auto* list = OnGuiThread() ? DialogManager::Bind<ReportListView>(Widget(window), listId) : nullptr;
    return list && list->IsRowSelected(row);
}

void QtWindowServices::SetProgressRange(WindowHandle window, int id, int low, int high) {
    OnWindowThread(window, [=](QWidget* w) {
        if (auto* bar = DialogManager::Bind<QProgressBar>(w, id)) bar->setRange(low, high);
    });
}

void QtWindowServices::SetProgressPosition(WindowHandle window, int id, int position) {
    OnWindowThread(window, [=](QWidget* w) {
        if (auto* bar = DialogManager::Bind<QProgressBar>(w, id))
            bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
    });
}

void QtWindowServices::PlayAnimation(WindowHandle window, int id, bool play) {
    OnWindowThread(window, [=](QWidget* w) {
        auto* animation = DialogManager::Bind<AnimationControl>(w, id);
        if (!animation) return;
        if (play)
            animation->Play();
        else
            animation->Stop();
    });
}

void QtWindowServices::PostToWindow(WindowHandle window, std::function<void()> function) {
    QPointer<QWidget> target(Widget(window));
    QMetaObject::invokeMethod(
        qApp,
        [target, function = std::move(function)] {
            if (target) function();
        },
        Qt::QueuedConnection);
}

}  // namespace tarnwick
