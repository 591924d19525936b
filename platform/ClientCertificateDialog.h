// SPDX-License-Identifier: GPL-3.0-or-later
// The prompt for a client certificate (a PEM file or a PKCS#12 bundle) when a server asks for one.
#pragma once

#include <QDialog>
#include <string>

#include "platform/WindowServices.h"

class QLineEdit;
class QPushButton;

namespace tarnwick {

class ClientCertificateDialog : public QDialog {
    Q_OBJECT
public:
    ClientCertificateDialog(const ClientCertificateRequest& request, QWidget* parent = nullptr);

    // "The server 127.0.0.1:8443 asks for a client certificate".
    static std::string Question(const ClientCertificateRequest& request);

    // What was chosen; meaningful once the dialog was accepted (Retry).
    ClientCertificateChoice Answer() const;

private:
    void Browse();

    QLineEdit* file_ = nullptr;
    QLineEdit* passPhrase_ = nullptr;
    QPushButton* retry_ = nullptr;
};

}  // namespace tarnwick
