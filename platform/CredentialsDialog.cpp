// SPDX-License-Identifier: GPL-3.0-or-later
// The prompt for a user name and password when a server or a proxy asks for them.
#include "platform/CredentialsDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tarnwick {
namespace {

QString Text(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}
std::string Bytes(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

}  // namespace

std::string CredentialsDialog::Question(const CredentialsRequest& request) {
    std::string who = request.proxy ? "The proxy" : "The server";
    if (!request.host.empty()) who += " " + request.host;
    std::string question = who + " asks for a user name and password";
    if (!request.realm.empty()) question += " for \"" + request.realm + "\"";
    return question;
}

CredentialsDialog::CredentialsDialog(const CredentialsRequest& request, QWidget* parent) : QDialog(parent) {
    setWindowTitle(request.proxy ? "Tarnwick - Proxy Password" : "Tarnwick - Password");
    auto* layout = new QVBoxLayout(this);
    auto* question = new QLabel(Text(Question(request)) + ".", this);
    question->setObjectName("question");
    question->setWordWrap(true);
    layout->addWidget(question);
    if (request.refused) {
        auto* refused = new QLabel("The user name or password was not accepted.", this);
        refused->setObjectName("refused");
        layout->addWidget(refused);
    }

    auto* form = new QFormLayout;
    userName_ = new QLineEdit(Text(request.userName), this);
    userName_->setObjectName("userName");
    password_ = new QLineEdit(this);
    password_->setObjectName("password");
    password_->setEchoMode(QLineEdit::Password);
    form->addRow("&User name:", userName_);
    form->addRow("&Password:", password_);
    layout->addLayout(form);

    auto* buttons = new QDialogButtonBox(this);
    retry_ = buttons->addButton("&Retry", QDialogButtonBox::AcceptRole);
    retry_->setObjectName("retry");
    retry_->setDefault(true);
    buttons->addButton(QDialogButtonBox::Cancel)->setObjectName("cancel");
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // Without a user name there is nothing to send again.
    auto update = [this] { retry_->setEnabled(!userName_->text().isEmpty()); };
    connect(userName_, &QLineEdit::textChanged, this, update);
    update();
    (request.userName.empty() ? userName_ : password_)->setFocus();
    setMinimumWidth(360);
}

Credentials CredentialsDialog::Answer() const {
    return {Bytes(userName_->text()), Bytes(password_->text())};
}

}  // namespace tarnwick
