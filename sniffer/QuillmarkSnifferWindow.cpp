// SPDX-License-Identifier: GPL-3.0-or-later
// The "Recently Sniffed Videos" window: lists detected videos live and hands the buttons to the actions.
#include "sniffer/QuillmarkSnifferWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>

#include "config/AppSettings.h"
#include "config/SiteAddresses.h"
#include "controls/PictureControl.h"
#include "platform/AppDrawingResources.h"
#include "platform/DialogManager.h"
#include "platform/KeyLoggingBrowser.h"
#include "platform/ReportListView.h"
#include "platform/ShowMessage.h"
#include "resources/ResourceFiles.h"
#include "resources/ResourceIds.h"
#include "sniffer/BannerFiles.h"
#include "sniffer/CaptureStatusLine.h"
#include "sniffer/DownloadDialogs.h"

namespace tarnwick {

namespace {

// When a started browser is looked at once: one that could not come up has ended by then.
constexpr int kBrowserCheckMs = 3000;

}  // namespace

QuillmarkSnifferWindow::QuillmarkSnifferWindow(WindowServices& services, CaptureStarter startCapture, QWidget* parent,
                                               DownloadDialogRunner runDialog)
    : QDialog(parent), services_(services), startCapture_(std::move(startCapture)) {
    DialogManager::CreateFromTemplate(this, kSnifferDialogId, [](const DialogItemDefinition& item, QWidget* parent) {
        return item.id == kBannerId ? new PictureControl(parent) : nullptr;
    });
    list_ = std::make_unique<SniffedVideoList>(&services_, Handle());
    if (!runDialog) runDialog = [&services](const DownloadRequest& r) { return RunDownloadDialog(services, r); };
    // Tarnwick's own fetches are told apart by their connections (OwnConnections): nothing to ignore.
    auto ignoreEverywhere = [](const std::string&) {};
    actions_ =
        std::make_unique<VideoActions>(services_, Handle(), *list_, Settings(), ignoreEverywhere, std::move(runDialog));
    // Start-up decides from Tarnwick.ini; a window made without it (in a test) reads no details.
    if (Settings().readDetails) {
        MediaDetailsReader::Settings settings = EntryDetailsReader::SettingsFor(Settings().configFilePath);
        if (!Settings().tempFolder.empty() && Settings().tempFolder != "x") settings.tempFolder = Settings().tempFolder;
        // The details arrive on a worker thread and are handed to the list on the window's.
        details_ = std::make_unique<EntryDetailsReader>(
            *list_, std::move(settings),
            [this](std::function<void()> task) { services_.PostToWindow(Handle(), std::move(task)); });
        list_->SetReadingDetails(true);
        list_->SetAcceptedObserver([this](const SniffedVideo& video) { details_->Accepted(video); });
        list_->SetRemovedObserver([this](const SniffedVideo& video) { details_->Removed(video); });
    }
    CurrentSnifferWindow.store(this);
    OnInitDialog();
}

QuillmarkSnifferWindow::~QuillmarkSnifferWindow() {
    bannerFetch_.reset();
    // The order matters: close the list so late detections are dropped, stop every capture thread,
    // and only then release the list they could still have reached.
    if (listView_) listView_->SetPictureStrip(QPixmap(), 16, 15);
    list_->Close();
    CaptureSessions& sessions = CaptureSessionList();
    for (auto& session : sessions) session.reset();
    sessions.clear();
    browser_.reset();  // ends the browser and removes its key log
    // Stopped before the list goes: a read that ends now is dropped with the window's posted tasks.
    details_.reset();
    SnifferHost* self = this;
    CurrentSnifferWindow.compare_exchange_strong(self, nullptr);
    actions_.reset();
    list_.reset();
    layoutScaler_.Restore();
}

void QuillmarkSnifferWindow::OnInitDialog() {
    // Data exchange: bind members to their controls by id.
    listView_ = DialogManager::Bind<ReportListView>(this, kVideoListId);
    previewButton_ = DialogManager::Bind<QPushButton>(this, kPreviewButtonId);
    removeButton_ = DialogManager::Bind<QPushButton>(this, kRemoveButtonId);
    downloadPlayButton_ = DialogManager::Bind<QPushButton>(this, kDownloadPlayButtonId);
    downloadOnlyButton_ = DialogManager::Bind<QPushButton>(this, kDownloadOnlyButtonId);
    banner_ = DialogManager::Bind<PictureControl>(this, kBannerId);
    helpButton_ = DialogManager::Bind<QPushButton>(this, kHelpButtonId);

    layoutScaler_.Apply(this, kSnifferDialogId, 96.0);
    setWindowIcon(AppDrawingResources::AppIcon());
    move(760, 200);
    setWindowTitle("Tarnwick - Recently Sniffed Videos");
    downloadPlayButton_->hide();
    PlaceButton(previewButton_, 0, 0);
    PlaceButton(removeButton_, -24, 0);
    PlaceButton(downloadOnlyButton_, 60, -34);
    downloadOnlyButton_->setText("Download");
    helpButton_->setGeometry(278, 133, 70, 24);
    helpButton_->show();
    setFixedSize(386, 274);  // also removes the sizing border
    sidePicture_ = QPixmap(QString::fromLatin1(ResourceFile(kSidePictureId)));
    ShowBanner();
    listView_->AddColumn("Time Sniffed", 106);
    listView_->AddColumn("Type", 44);
    listView_->AddColumn("Size", 64);
    FitColumns();
    listView_->SetPictureStrip(QPixmap(QString::fromLatin1(ResourceFile(kRowPicturesId))), 16, 15);

    // Control colours: the dialog and its controls paint on the light grey of the background brush.
    QPalette palette = this->palette();
    palette.setBrush(QPalette::Window, AppDrawingResources::DialogBackgroundBrush());
    palette.setBrush(QPalette::Button, AppDrawingResources::DialogBackgroundBrush());
    setPalette(palette);
    setAutoFillBackground(true);

    connect(previewButton_, &QPushButton::clicked, this, &QuillmarkSnifferWindow::OnPreview);
    connect(removeButton_, &QPushButton::clicked, this, &QuillmarkSnifferWindow::OnRemove);
    connect(helpButton_, &QPushButton::clicked, this, &QuillmarkSnifferWindow::OnHelp);
    connect(downloadOnlyButton_, &QPushButton::clicked, this, &QuillmarkSnifferWindow::OnDownload);
    connect(banner_, &PictureControl::clicked, this, &QuillmarkSnifferWindow::OnBannerClicked);
    connect(listView_, &ReportListView::ItemChanged, this, &QuillmarkSnifferWindow::OnListItemChanged);
    listView_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(listView_, &QWidget::customContextMenuRequested, this, &QuillmarkSnifferWindow::OnListContextMenu);

    CaptureStart start = startCapture_ ? startCapture_() : CaptureStart{};
    captureProblem_ = start.problem;
    keyLog_ = start.keyLog;
    CaptureSessions& sessions = CaptureSessionList();
    for (auto& session : start.sessions) {
        session->SetDetectionSink(&SnifferHostSink());
        sessions.push_back(std::move(session));
    }
    statusLine_ = new CaptureStatusLine(this, services_, Handle(),
                                        [] { return CaptureStatusLine::ReportsOf(CaptureSessionList()); });
    setFocus();
}

void QuillmarkSnifferWindow::ShowBanner() {
    LoadBanner();
    std::string url = BannerUrl(Settings());
    if (url.empty()) return;
    bannerFetch_ = std::make_unique<BannerFetch>(url, BannerFolder(Settings()), BannerFetchLimits{}, [this] {
        services_.PostToWindow(Handle(), [this] { LoadBanner(); });
    });
}

void QuillmarkSnifferWindow::LoadBanner() {
    // Until a banner has ever been fetched, the one shipped with the program is shown.
    QString file = QString::fromStdString(BannerFile(BannerFolder(Settings())));
    if (!QFileInfo::exists(file)) file = QString::fromLatin1(kShippedBannerFile);
    if (banner_->Load(file)) banner_->Draw();
    banner_->setGeometry(70, 172, 234, 60);
}

void QuillmarkSnifferWindow::FitColumns() {
    // The serial and the whole time must show; a size up to 9999.99 MB too. The type takes what is left,
    // at least room for a four-letter type (longer ones end in an ellipsis).
    QFontMetrics metrics(listView_->font());
    QChar digit = '0';
    for (char c = '1'; c <= '9'; ++c)
        if (metrics.horizontalAdvance(QChar(c)) > metrics.horizontalAdvance(digit)) digit = QChar(c);
    auto digits = [&](int n) { return QString(n, digit); };
    QString marker = metrics.horizontalAdvance("AM") >= metrics.horizontalAdvance("PM") ? "AM" : "PM";
    QString time = digits(4) + ". " + digits(2) + ":" + digits(2) + ":" + digits(2) + " " + marker;
    int timeWidth = listView_->WidthToShow(0, time);
    int sizeWidth = listView_->WidthToShow(2, digits(4) + "." + digits(2) + " MB");
    int typeWidth = std::max(listView_->WidthToShow(1, "webm"), listView_->WidthForColumns() - timeWidth - sizeWidth);
    listView_->setColumnWidth(0, timeWidth);
    listView_->setColumnWidth(1, typeWidth);
    listView_->setColumnWidth(2, sizeWidth);
}

void QuillmarkSnifferWindow::PlaceButton(QPushButton* button, int dx, int dy) {
    QPoint corner = button->geometry().topLeft();
    button->setGeometry(corner.x() + dx, corner.y() + dy, 70, 24);
}

bool QuillmarkSnifferWindow::AllCaptureFinished() const {
    for (const auto& session : CaptureSessionList())
        if (!session->Finished()) return false;
    return true;
}

void QuillmarkSnifferWindow::HandleDetection(DetectedVideo video) {
    // Never wait for the window's thread here: it may be stopping this very capture thread.
    services_.PostToWindow(Handle(), [this, video = std::move(video)] {
        if (list_) list_->AddDetectedVideo(video);
    });
}

void QuillmarkSnifferWindow::OnPreview() {
    actions_->OnPreview();
}

void QuillmarkSnifferWindow::OnRemove() {
    actions_->OnRemove();
}

void QuillmarkSnifferWindow::OnDownload() {
    actions_->OnDownload();
}

void QuillmarkSnifferWindow::OnListItemChanged() {
    actions_->OnListItemChanged();
}

void QuillmarkSnifferWindow::OnHelp() {
    OpenPage("help page", HelpUrl(Settings()));
}

void QuillmarkSnifferWindow::OnBannerClicked() {
    OpenPage("home page", HomeUrl(Settings()));
}

void QuillmarkSnifferWindow::OnListContextMenu(const QPoint& pos) {
    QMenu menu(this);
    QAction* browser = menu.addAction(QStringLiteral("Open a Browser Tarnwick Can Read"));
    QAction* copy = menu.addAction(QStringLiteral("Copy Address"));
    const QTreeWidgetItem* item = listView_->itemAt(pos);
    const int row = item ? listView_->indexOfTopLevelItem(const_cast<QTreeWidgetItem*>(item)) : -1;
    copy->setEnabled(row >= 0);
    // Only a live capture sees what the browser fetches.
    bool live = keyLog_ != nullptr && !CaptureSessionList().empty();
    for (const auto& session : CaptureSessionList()) live = live && session->CaptureStarted() && !session->IsReplay();
    browser->setEnabled(live);
    const QAction* chosen = menu.exec(listView_->viewport()->mapToGlobal(pos));
    if (chosen == browser)
        OpenKeyLoggingBrowser({});
    else if (chosen == copy)
        CopyAddress(row);
}

void QuillmarkSnifferWindow::OpenKeyLoggingBrowser(const std::string& name) {
    if (!keyLog_ || CaptureSessionList().empty()) {
        ShowMessage(services_, Handle(), kAppCaption, kMbOk | kMbIconExclamation,
                    "Cannot open a browser Tarnwick can read: nothing is being captured.");
        return;
    }
    std::string problem;
    auto browser = KeyLoggingBrowser::Start(name, &problem);
    if (!browser) {
        ShowMessage(services_, Handle(), kAppCaption, kMbOk | kMbIconExclamation,
                    "Cannot open a browser Tarnwick can read:\n%s", problem.c_str());
        return;
    }
    keyLog_->Follow(browser->KeyLogPath());
    // One at a time: an earlier one is ended (and its key log removed) only once the new one runs.
    browser_ = std::move(browser);
    // A browser that did not come up ends within moments; one that a user closes later needs no word.
    QTimer::singleShot(kBrowserCheckMs, this, [this, started = browser_.get()] {
        std::string how;
        if (browser_.get() != started || browser_->Running(&how)) return;
        const std::string advice = browser_->AdviceWhenEnded();
        ShowMessage(services_, Handle(), kAppCaption, kMbOk | kMbIconExclamation, "The browser %s at once.%s%s",
                    how.c_str(), advice.empty() ? "" : "\n", advice.c_str());
    });
}

void QuillmarkSnifferWindow::CopyAddress(int row) {
    const int slot = list_->SlotOfRow(row);
    if (slot < 0 || slot >= list_->Count()) return;
    QApplication::clipboard()->setText(QString::fromStdString(list_->Slot(slot).url));
}

void QuillmarkSnifferWindow::OpenPage(const std::string& what, const std::string& address) {
    services_.OpenAddress(Handle(), address, [this, what, address](const std::string& reason) {
        // Say where the page is, so it can be opened by hand.
        const std::string filePrefix = "file://";
        std::string where = address.rfind(filePrefix, 0) == 0 ? address.substr(filePrefix.size()) : address;
        ShowMessage(services_, Handle(), kAppCaption, kMbOk | kMbIconExclamation,
                    "The %s could not be opened: %s.\n\nOpen it in a web browser:\n%s", what.c_str(), reason.c_str(),
                    where.c_str());
    });
}

void QuillmarkSnifferWindow::keyPressEvent(QKeyEvent* event) {
    // Enter ends the run like OK; Escape like Cancel (the dialog's own handling).
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        done(kIdOk);
        return;
    }
    QDialog::keyPressEvent(event);
}

void QuillmarkSnifferWindow::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    QPainter painter(this);
    painter.drawPixmap(256, 0, 116, 126, sidePicture_);
}

void QuillmarkSnifferWindow::enterEvent(QEnterEvent* event) {
    // The mouse over the window gives it the keyboard focus.
    setFocus();
    QDialog::enterEvent(event);
}

void QuillmarkSnifferWindow::KeepOnScreen() {
    // The usual place, moved in only as far as a small screen needs to show the whole window.
    const QScreen* where = screen();
    if (!where) return;
    const QRect available = where->availableGeometry();
    const QRect frame = frameGeometry();
    const int x = std::max(available.left(), std::min(frame.left(), available.right() + 1 - frame.width()));
    const int y = std::max(available.top(), std::min(frame.top(), available.bottom() + 1 - frame.height()));
    if (QPoint(x, y) != frame.topLeft()) move(x, y);  // a shown window is moved by its frame's corner
}

void QuillmarkSnifferWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!placed_) {
        placed_ = true;
        KeepOnScreen();
    }
    if (captureProblem_.empty() || problemShown_) return;
    problemShown_ = true;
    QTimer::singleShot(0, this, [this] {
        ShowMessage(services_, Handle(), kAppCaption, kMbOk | kMbIconExclamation, "%s",
                    ("Nothing is being captured: " + captureProblem_).c_str());
    });
}

}  // namespace tarnwick
