// SPDX-License-Identifier: GPL-3.0-or-later
// The window operations the program's logic calls, behind one interface so the logic runs without a display.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick {

// Opaque reference to a top-level window; the Qt implementation stores a QWidget*.
using WindowHandle = void*;

// Message box type flags and results, with the values callers have always used.
enum MessageBoxFlags : unsigned {
    kMbOk = 0x0,
    kMbYesNo = 0x4,
    kMbIconError = 0x10,
    kMbIconQuestion = 0x20,
    kMbIconExclamation = 0x30,
};
enum DialogResult : int { kIdOk = 1, kIdCancel = 2, kIdYes = 6, kIdNo = 7 };

// Id 0 addresses the window itself (its caption, its size) in the control operations.
constexpr int kWindowItself = 0;

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

struct SaveFileRequest {
    std::string title;
    std::vector<std::pair<std::string, std::string>> filters;  // (description, pattern)
    std::string defaultExtension;
    std::string initialFolder;
    bool promptOverwrite = true;
};

// What a credential prompt says: who asks (the server or a proxy), its name, and the realm it names.
struct CredentialsRequest {
    bool proxy = false;
    std::string host;
    std::string realm;     // empty when the demand named none
    std::string userName;  // offered again: the name tried before, if any
    bool refused = false;  // the credentials sent before were not accepted
};
struct Credentials {
    std::string userName;
    std::string password;
};

// What a client-certificate prompt says, and what the user chose: a PEM file or a PKCS#12 bundle with
// its pass phrase (empty when it has none).
struct ClientCertificateRequest {
    std::string host;
};
struct ClientCertificateChoice {
    std::string path;
    std::string passPhrase;
};

class WindowServices {
public:
    virtual ~WindowServices() = default;

    virtual int MessageBox(WindowHandle owner, const std::string& text, const std::string& caption, unsigned type) = 0;
    // Full path of the chosen file, or empty when the user cancelled.
    virtual std::string AskSaveFileName(WindowHandle owner, const SaveFileRequest& request) = 0;
    // Modal prompts with Retry and Cancel; nothing when the user cancelled or there is no one to ask.
    // What is entered is only returned, never kept.
    virtual std::optional<Credentials> AskCredentials(WindowHandle owner, const CredentialsRequest& request) = 0;
    virtual std::optional<ClientCertificateChoice> AskClientCertificate(WindowHandle owner,
                                                                        const ClientCertificateRequest& request) = 0;
    // Starts a program directly (never through a shell) without waiting for it.
    virtual bool StartProgram(const std::string& program, const std::vector<std::string>& arguments) = 0;
    // Opens a web address or a local page with the desktop's browser, without waiting for it. When that
    // fails, at once or once the opener has given up, failed runs on the window's thread with the reason;
    // it is dropped when the owner is gone by then.
    using OpenFailure = std::function<void(const std::string& reason)>;
    virtual void OpenAddress(WindowHandle owner, const std::string& address, OpenFailure failed) = 0;

    // Control operations. From a worker thread they are carried out later by the window's thread.
    virtual void ShowControl(WindowHandle window, int id, bool visible) = 0;
    virtual void EnableControl(WindowHandle window, int id, bool enabled) = 0;
    virtual void SetControlText(WindowHandle window, int id, const std::string& text) = 0;
    virtual void SetControlGeometry(WindowHandle window, int id, const Rect& rect) = 0;

    // Report-mode list view. Queries are answered on the window's thread only.
    virtual void DeleteAllRows(WindowHandle window, int listId) = 0;
    // Puts a row in at position row (0 is the top; the row count appends).
    virtual void InsertRow(WindowHandle window, int listId, int row, const std::string& label, int image,
                           const std::vector<std::string>& columns) = 0;
    virtual void DeleteRow(WindowHandle window, int listId, int row) = 0;
    virtual void SetRowImage(WindowHandle window, int listId, int row, int image) = 0;
    // Replaces the texts of columns 1 and up of one row; its label, picture and selection stay.
    virtual void SetRowTexts(WindowHandle window, int listId, int row, const std::vector<std::string>& columns) = 0;
    // The text shown when the pointer rests on a row, above it a picture (JPEG bytes; empty for none).
    virtual void SetRowToolTip(WindowHandle window, int listId, int row, const std::string& text,
                               const std::string& picture) = 0;
    virtual void SelectRow(WindowHandle window, int listId, int row) = 0;
    virtual int RowCount(WindowHandle window, int listId) = 0;
    virtual bool IsRowSelected(WindowHandle window, int listId, int row) = 0;

    // Progress bar and animation.
    virtual void SetProgressRange(WindowHandle window, int id, int low, int high) = 0;
    virtual void SetProgressPosition(WindowHandle window, int id, int position) = 0;
    virtual void PlayAnimation(WindowHandle window, int id, bool play) = 0;

    // Runs the function on the window's thread later; dropped when the window is gone.
    virtual void PostToWindow(WindowHandle window, std::function<void()> function) = 0;
};

}  // namespace tarnwick
