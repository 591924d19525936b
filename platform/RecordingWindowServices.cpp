// SPDX-License-Identifier: GPL-3.0-or-later
// Window services that only record what the logic showed, for tests and for running without a display.
#include "platform/RecordingWindowServices.h"

namespace tarnwick {

int RecordingWindowServices::MessageBox(WindowHandle owner, const std::string& text, const std::string& caption,
                                        unsigned type) {
    std::lock_guard lock(mutex_);
    messages_.push_back({owner, text, caption, type});
    if (!messageAnswers_.empty()) {
        int answer = messageAnswers_.front();
        messageAnswers_.pop_front();
        return answer;
    }
    return (type & 0xF) == kMbYesNo ? kIdYes : kIdOk;
}

std::optional<Credentials> RecordingWindowServices::AskCredentials(WindowHandle, const CredentialsRequest& request) {
    std::lock_guard lock(mutex_);
    credentialsRequests_.push_back(request);
    if (credentialsAnswers_.empty()) return std::nullopt;
    std::optional<Credentials> answer = credentialsAnswers_.front();
    credentialsAnswers_.pop_front();
    return answer;
}

std::optional<ClientCertificateChoice> RecordingWindowServices::AskClientCertificate(
    WindowHandle, const ClientCertificateRequest& request) {
    std::lock_guard lock(mutex_);
    certificateRequests_.push_back(request);
    if (certificateAnswers_.empty()) return std::nullopt;
    std::optional<ClientCertificateChoice> answer = certificateAnswers_.front();
    certificateAnswers_.pop_front();
    return answer;
}

void RecordingWindowServices::QueueCredentialsAnswer(std::optional<Credentials> answer) {
    std::lock_guard lock(mutex_);
    credentialsAnswers_.push_back(std::move(answer));
}

void RecordingWindowServices::QueueClientCertificateAnswer(std::optional<ClientCertificateChoice> answer) {
    std::lock_guard lock(mutex_);
    certificateAnswers_.push_back(std::move(answer));
}

std::vector<CredentialsRequest> RecordingWindowServices::CredentialsRequests() const {
    std::lock_guard lock(mutex_);
    return credentialsRequests_;
}

std::vector<ClientCertificateRequest> RecordingWindowServices::ClientCertificateRequests() const {
    std::lock_guard lock(mutex_);
    return certificateRequests_;
}

void RecordingWindowServices::SetWhileSaveDialogOpen(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    whileSaveDialogOpen_ = std::move(work);
}

std::string RecordingWindowServices::AskSaveFileName(WindowHandle, const SaveFileRequest& request) {
    std::lock_guard lock(mutex_);
    saveRequests_.push_back(request);
    if (whileSaveDialogOpen_) whileSaveDialogOpen_();
    if (saveAnswers_.empty()) return {};
    std::string answer = saveAnswers_.front();
    saveAnswers_.pop_front();
    return answer;
}

bool RecordingWindowServices::StartProgram(const std::string& program, const std::vector<std::string>& arguments) {
    std::lock_guard lock(mutex_);
    programs_.push_back({program, arguments});
    return true;
}

void RecordingWindowServices::OpenAddress(WindowHandle, const std::string& address, OpenFailure) {
    std::lock_guard lock(mutex_);
    addresses_.push_back(address);
}

void RecordingWindowServices::ShowControl(WindowHandle window, int id, bool visible) {
    std::lock_guard lock(mutex_);
    controls_[{window, id}].visible = visible;
}

void RecordingWindowServices::EnableControl(WindowHandle window, int id, bool enabled) {
    std::lock_guard lock(mutex_);
    controls_[{window, id}].enabled = enabled;
}

void RecordingWindowServices::SetControlText(WindowHandle window, int id, const std::string& text) {
    std::lock_guard lock(mutex_);
    controls_[{window, id}].text = text;
}

void RecordingWindowServices::SetControlGeometry(WindowHandle window, int id, const Rect& rect) {
    std::lock_guard lock(mutex_);
    controls_[{window, id}].geometry = rect;
}

void RecordingWindowServices::DeleteAllRows(WindowHandle window, int listId) {
    std::lock_guard lock(mutex_);
    lists_[{window, listId}].clear();
}

void RecordingWindowServices::InsertRow(WindowHandle window, int listId, int row, const std::string& label, int image,
                                        const std::vector<std::string>& columns) {
    std::lock_guard lock(mutex_);
    auto& rows = lists_[{window, listId}];
    if (row < 0 || row > static_cast<int>(rows.size())) return;
    rows.insert(rows.begin() + row, {label, image, columns, false});
    ++rowInsertions_;
}

void RecordingWindowServices::DeleteRow(WindowHandle window, int listId, int row) {
    std::lock_guard lock(mutex_);
    auto& rows = lists_[{window, listId}];
    if (row >= 0 && row < static_cast<int>(rows.size())) rows.erase(rows.begin() + row);
}

int RecordingWindowServices::RowInsertions() const {
    std::lock_guard lock(mutex_);
    return rowInsertions_;
}

void RecordingWindowServices::SetRowImage(WindowHandle window, int listId, int row, int image) {
    std::lock_guard lock(mutex_);
    auto& rows = lists_[{window, listId}];
    if (row >= 0 && row < static_cast<int>(rows.size())) rows[static_cast<size_t>(row)].image = image;
}

void RecordingWindowServices::SetRowTexts(WindowHandle window, int listId, int row,
                                          const std::vector<std::string>& columns) {
    std::lock_guard lock(mutex_);
    auto& rows = lists_[{window, listId}];
    if (row >= 0 && row < static_cast<int>(rows.size())) rows[static_cast<size_t>(row)].columns = columns;
}

void RecordingWindowServices::SetRowToolTip(WindowHandle window, int listId, int row, const std::string& text,
                                            const std::string& picture) {
    std::lock_guard lock(mutex_);
    auto& rows = lists_[{window, listId}];
    if (row < 0 || row >= static_cast<int>(rows.size())) return;
    rows[static_cast<size_t>(row)].toolTip = text;
    rows[static_cast<size_t>(row)].hasPicture = !picture.empty();
}

void RecordingWindowServices::SelectRow(WindowHandle window, int listId, int row) {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        auto& rows = lists_[{window, listId}];
        if (row < 0 || row >= static_cast<int>(rows.size())) return;
        for (auto& r : rows) r.selected = false;
        rows[static_cast<size_t>(row)].selected = true;
        handler = itemChanged_;
    }
    if (handler) handler();
}

void RecordingWindowServices::ClearSelection(WindowHandle window, int listId) {
    std::lock_guard lock(mutex_);
    for (auto& r : lists_[{window, listId}]) r.selected = false;
}

int RecordingWindowServices::RowCount(WindowHandle window, int listId) {
    std::lock_guard lock(mutex_);
    return static_cast<int>(lists_[{window, listId}].size());
}

bool RecordingWindowServices::IsRowSelected(WindowHandle window, int listId, int row) {
    std::lock_guard lock(mutex_);
    const auto& rows = lists_[{window, listId}];
    return row >= 0 && row < static_cast<int>(rows.size()) && rows[static_cast<size_t>(row)].selected;
}

void RecordingWindowServices::SetProgressRange(WindowHandle window, int id, int low, int high) {
    std::lock_guard lock(mutex_);
    auto& c = controls_[{window, id}];
    c.progressLow = low;
    c.progressHigh = high;
}

void RecordingWindowServices::SetProgressPosition(WindowHandle window, int id, int position) {
    std::lock_guard lock(mutex_);
    controls_[{window, id}].progressPosition = position;
}

void RecordingWindowServices::PlayAnimation(WindowHandle window, int id, bool play) {
    std::lock_guard lock(mutex_);
    controls_[{window, id}].animating = play;
}

void RecordingWindowServices::PostToWindow(WindowHandle, std::function<void()> function) {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(function));
}

void RecordingWindowServices::QueueMessageBoxAnswer(int answer) {
    std::lock_guard lock(mutex_);
    messageAnswers_.push_back(answer);
}

void RecordingWindowServices::QueueSaveFileAnswer(std::string path) {
    std::lock_guard lock(mutex_);
    saveAnswers_.push_back(std::move(path));
}

int RecordingWindowServices::RunPosted() {
    int ran = 0;
    for (;;) {
        std::function<void()> next;
        {
            std::lock_guard lock(mutex_);
            if (posted_.empty()) return ran;
            next = std::move(posted_.front());
            posted_.pop_front();
        }
        next();
        ++ran;
    }
}

void RecordingWindowServices::SetItemChangedHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    itemChanged_ = std::move(handler);
}

RecordingWindowServices::ControlState RecordingWindowServices::Control(WindowHandle window, int id) const {
    std::lock_guard lock(mutex_);
    auto it = controls_.find({window, id});
    return it == controls_.end() ? ControlState{} : it->second;
}

std::vector<RecordingWindowServices::Row> RecordingWindowServices::Rows(WindowHandle window, int listId) const {
    std::lock_guard lock(mutex_);
    auto it = lists_.find({window, listId});
    return it == lists_.end() ? std::vector<Row>{} : it->second;
}

std::vector<RecordingWindowServices::ShownMessage> RecordingWindowServices::Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<SaveFileRequest> RecordingWindowServices::SaveRequests() const {
    std::lock_guard lock(mutex_);
    return saveRequests_;
}

std::vector<RecordingWindowServices::StartedProgram> RecordingWindowServices::StartedPrograms() const {
    std::lock_guard lock(mutex_);
    return programs_;
}

std::vector<std::string> RecordingWindowServices::OpenedAddresses() const {
    std::lock_guard lock(mutex_);
    return addresses_;
}

}  // namespace tarnwick
