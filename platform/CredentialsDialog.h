// SPDX-License-Identifier: GPL-3.0-or-later
// The prompt for a user name and password when a server or a proxy asks for them.
#pragma once

#include <QDialog>
#include <string>

#include "platform/WindowServices.h"

class QLineEdit;
class QPushButton;

namespace tarnwick {

class CredentialsDialog : public QDialog {
    Q_OBJECT
public:
    CredentialsDialog(const CredentialsRequest& request, QWidget* parent = nullptr);

    // "The server 127.0.0.1:8080 asks for a user name and password for "videos"".
    static std::string Question(const CredentialsRequest& request);

    // What was entered; meaningful once the dialog was accepted (Retry).
    Credentials Answer() const;

private:
    QLineEdit* userName_ = nullptr;
    QLineEdit* password_ = nullptr;
    QPushButton* retry_ = nullptr;
};

}  // namespace tarnwick
