// SPDX-License-Identifier: GPL-3.0-or-later
// The real window services, on Qt Widgets.
#pragma once

#include <optional>

#include "platform/WindowServices.h"

class QWidget;

namespace tarnwick {

class QtWindowServices : public WindowServices {
public:
    // A QWidget* as a handle, and back.
    static WindowHandle Handle(QWidget* window) { return window; }
    static QWidget* Widget(WindowHandle handle) { return static_cast<QWidget*>(handle); }

    // Unattended, message boxes and the other questions are not shown: the text still goes to standard
    // error and the default answer is taken. That is so without a screen to show them on (offscreen or
    // minimal platform), unless SetUnattended says otherwise (a screenshot run is always unattended).
    bool Unattended() const;
    void SetUnattended(bool unattended) { unattended_ = unattended; }

    int MessageBox(WindowHandle owner, const std::string& text, const std::string& caption, unsigned type) override;
    std::string AskSaveFileName(WindowHandle owner, const SaveFileRequest& request) override;
    std::optional<Credentials> AskCredentials(WindowHandle owner, const CredentialsRequest& request) override;
    std::optional<ClientCertificateChoice> AskClientCertificate(WindowHandle owner,
                                                                const ClientCertificateRequest& request) override;
    bool StartProgram(const std::string& program, const std::vector<std::string>& arguments) override;
    void OpenAddress(WindowHandle owner, const std::string& address, OpenFailure failed) override;
    void ShowControl(WindowHandle window, int id, bool visible) override;
    void EnableControl(WindowHandle window, int id, bool enabled) override;
    void SetControlText(WindowHandle window, int id, const std::string& text) override;
    void SetControlGeometry(WindowHandle window, int id, const Rect& rect) override;
    void DeleteAllRows(WindowHandle window, int listId) override;
    void InsertRow(WindowHandle window, int listId, int row, const std::string& label, int image,
                   const std::vector<std::string>& columns) override;
    void DeleteRow(WindowHandle window, int listId, int row) override;
    void SetRowImage(WindowHandle window, int listId, int row, int image) override;
    void SetRowTexts(WindowHandle window, int listId, int row, const std::vector<std::string>& columns) override;
    void SetRowToolTip(WindowHandle window, int listId, int row, const std::string& text,
                       const std::string& picture) override;
    void SelectRow(WindowHandle window, int listId, int row) override;
    int RowCount(WindowHandle window, int listId) override;
    bool IsRowSelected(WindowHandle window, int listId, int row) override;
    void SetProgressRange(WindowHandle window, int id, int low, int high) override;
    void SetProgressPosition(WindowHandle window, int id, int position) override;
    void PlayAnimation(WindowHandle window, int id, bool play) override;
    void PostToWindow(WindowHandle window, std::function<void()> function) override;

private:
    std::optional<bool> unattended_;
};

}  // namespace tarnwick
