// SPDX-License-Identifier: GPL-3.0-or-later
// Window services that only record what the logic showed, for tests and for running without a display.
#pragma once

#include <deque>
#include <map>
#include <mutex>

#include "platform/WindowServices.h"

namespace tarnwick {

class RecordingWindowServices final : public WindowServices {
public:
    struct ControlState {
        bool visible = true;
        bool enabled = true;
        std::string text;
        Rect geometry;
        int progressLow = 0, progressHigh = 100, progressPosition = 0;
        bool animating = false;
    };
    struct Row {
        std::string label;
        int image = 0;
        std::vector<std::string> columns;
        bool selected = false;
        std::string toolTip = {};
        bool hasPicture = false;
    };
    struct ShownMessage {
        WindowHandle owner;
        std::string text;
        std::string caption;
        unsigned type;
    };
    struct StartedProgram {
        std::string program;
        std::vector<std::string> arguments;
    };

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

    // Scripting and inspection, for tests.
    void QueueMessageBoxAnswer(int answer);
    void QueueSaveFileAnswer(std::string path);
    // Answers of the prompts, in order; with none queued a prompt is cancelled.
    void QueueCredentialsAnswer(std::optional<Credentials> answer);
    void QueueClientCertificateAnswer(std::optional<ClientCertificateChoice> answer);
    // Runs while a save dialog is open, as the real dialog's event loop lets other work run meanwhile.
    void SetWhileSaveDialogOpen(std::function<void()> work);
    // Runs posted functions until none is left; returns how many ran.
    int RunPosted();
    // Called after every selection change, as a list view's item-changed notification would be.
    void SetItemChangedHandler(std::function<void()> handler);
    void ClearSelection(WindowHandle window, int listId);

    ControlState Control(WindowHandle window, int id) const;
    std::vector<Row> Rows(WindowHandle window, int listId) const;
    // Rows put in since the start, in all lists: a list that rebuilds itself puts in far more.
    int RowInsertions() const;
    std::vector<ShownMessage> Messages() const;
    std::vector<SaveFileRequest> SaveRequests() const;
    std::vector<CredentialsRequest> CredentialsRequests() const;
    std::vector<ClientCertificateRequest> ClientCertificateRequests() const;
    std::vector<StartedProgram> StartedPrograms() const;
    std::vector<std::string> OpenedAddresses() const;

private:
    using Key = std::pair<WindowHandle, int>;
    mutable std::recursive_mutex mutex_;
    std::map<Key, ControlState> controls_;
    std::map<Key, std::vector<Row>> lists_;
    int rowInsertions_ = 0;
    std::vector<ShownMessage> messages_;
    std::deque<int> messageAnswers_;
    std::vector<SaveFileRequest> saveRequests_;
    std::deque<std::string> saveAnswers_;
    std::function<void()> whileSaveDialogOpen_;
    std::vector<CredentialsRequest> credentialsRequests_;
    std::deque<std::optional<Credentials>> credentialsAnswers_;
    std::vector<ClientCertificateRequest> certificateRequests_;
    std::deque<std::optional<ClientCertificateChoice>> certificateAnswers_;
    std::vector<StartedProgram> programs_;
    std::vector<std::string> addresses_;
    std::deque<std::function<void()>> posted_;
    std::function<void()> itemChanged_;
};

}  // namespace tarnwick
