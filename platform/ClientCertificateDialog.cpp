// SPDX-License-Identifier: GPL-3.0-or-later
// The prompt for a client certificate (a PEM file or a PKCS#12 bundle) when a server asks for one.
#include "platform/ClientCertificateDialog.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
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

std::string ClientCertificateDialog::Question(const ClientCertificateRequest& request) {
    return "The server " + (request.host.empty() ? std::string() : request.host + " ") +
           "asks for a client certificate";
}

ClientCertificateDialog::ClientCertificateDialog(const ClientCertificateRequest& request, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle("Tarnwick - Client Certificate");
    auto* layout = new QVBoxLayout(this);
    auto* question = new QLabel(Text(Question(request)) + ".", this);
    question->setObjectName("question");
    question->setWordWrap(true);
    layout->addWidget(question);

    auto* form = new QFormLayout;
    auto* fileRow = new QHBoxLayout;
    file_ = new QLineEdit(this);
    file_->setObjectName("file");
    file_->setPlaceholderText("PEM file or PKCS#12 bundle");
    auto* browse = new QPushButton("&Browse...", this);
    browse->setObjectName("browse");
    browse->setAutoDefault(false);
    fileRow->addWidget(file_);
    fileRow->addWidget(browse);
    auto* fileLabel = new QLabel("&Certificate:", this);
    fileLabel->setBuddy(file_);  // a row of several controls gets no buddy by itself
    form->addRow(fileLabel, fileRow);
    passPhrase_ = new QLineEdit(this);
    passPhrase_->setObjectName("passPhrase");
    passPhrase_->setEchoMode(QLineEdit::Password);
    passPhrase_->setPlaceholderText("only when the key has one");
    form->addRow("&Pass phrase:", passPhrase_);
    layout->addLayout(form);

    auto* buttons = new QDialogButtonBox(this);
    retry_ = buttons->addButton("&Retry", QDialogButtonBox::AcceptRole);
    retry_->setObjectName("retry");
    retry_->setDefault(true);
    buttons->addButton(QDialogButtonBox::Cancel)->setObjectName("cancel");
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(browse, &QPushButton::clicked, this, &ClientCertificateDialog::Browse);
    auto update = [this] { retry_->setEnabled(!file_->text().isEmpty()); };
    connect(file_, &QLineEdit::textChanged, this, update);
    update();
    setMinimumWidth(420);
}

void ClientCertificateDialog::Browse() {
    QString chosen = QFileDialog::getOpenFileName(this, "Client Certificate", file_->text(),
                                                  "Certificates (*.pem *.crt *.p12 *.pfx);;All files (*)");
    if (!chosen.isEmpty()) file_->setText(chosen);
}

ClientCertificateChoice ClientCertificateDialog::Answer() const {
    return {Bytes(file_->text()), Bytes(passPhrase_->text())};
}

}  // namespace tarnwick
