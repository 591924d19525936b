// SPDX-License-Identifier: GPL-3.0-or-later
// The "Recently Sniffed Videos" window: lists detected videos live and hands the buttons to the actions.
#pragma once

#include <QDialog>
#include <QPixmap>
#include <memory>

#include "platform/WindowServices.h"
#include "sniffer/BannerFetch.h"
#include "sniffer/CaptureSessionList.h"
#include "sniffer/DialogFontScaler.h"
#include "sniffer/EntryDetailsReader.h"
#include "sniffer/SniffedVideoList.h"
#include "sniffer/SnifferHost.h"
#include "sniffer/VideoActions.h"

class QPushButton;

namespace tarnwick {

class CaptureStatusLine;
class KeyLoggingBrowser;
class PictureControl;
class ReportListView;

class QuillmarkSnifferWindow : public QDialog, public SnifferHost {
    Q_OBJECT
public:
    // runDialog: how downloads are shown; the progress dialogs unless a caller supplies another way.
    QuillmarkSnifferWindow(WindowServices& services, CaptureStarter startCapture, QWidget* parent = nullptr,
                           DownloadDialogRunner runDialog = {});
    ~QuillmarkSnifferWindow() override;

    WindowHandle Handle() { return this; }
    SniffedVideoList* List() { return list_.get(); }
    ReportListView* ListView() { return listView_; }
    const DialogFontScaler& LayoutScaler() const { return layoutScaler_; }
    PictureControl* Banner() { return banner_; }
    CaptureStatusLine* StatusLine() { return statusLine_; }
    // Why nothing is captured (shown once after the window opens); empty when capture runs.
    const std::string& CaptureProblem() const { return captureProblem_; }
    // True once every session has ended by itself (a finished capture-file replay).
    bool AllCaptureFinished() const;

    // Capture threads land here; the video is handed to the window's thread as a value.
    void HandleDetection(DetectedVideo video) override;

    void OnPreview();
    void OnRemove();
    void OnDownload();
    void OnListItemChanged();
    void OnHelp();
    void OnBannerClicked();
    // The list's right-click menu at pos (in the list's viewport).
    void OnListContextMenu(const QPoint& pos);
    // Starts a browser whose key log the capture follows (name empty: the desktop's default); a failure is said.
    void OpenKeyLoggingBrowser(const std::string& name);
    // The entry's address on the clipboard.
    void CopyAddress(int row);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void OnInitDialog();
    void KeepOnScreen();
    void PlaceButton(QPushButton* button, int dx, int dy);
    // Column widths from the list's font, so that every row's texts show whole.
    void FitColumns();
    // Shows the last banner at once and fetches a fresh one meanwhile; it shows once it is complete.
    void ShowBanner();
    void LoadBanner();
    // Opens a page of the maker's; a failure is said with the page's address.
    void OpenPage(const std::string& what, const std::string& address);

    WindowServices& services_;
    CaptureStarter startCapture_;
    DialogFontScaler layoutScaler_;
    std::unique_ptr<SniffedVideoList> list_;
    std::unique_ptr<VideoActions> actions_;
    // Reads each entry's picture and length; none when Tarnwick.ini turns that off.
    std::unique_ptr<EntryDetailsReader> details_;
    ReportListView* listView_ = nullptr;
    PictureControl* banner_ = nullptr;
    CaptureStatusLine* statusLine_ = nullptr;
    QPixmap sidePicture_;
    QPushButton* helpButton_ = nullptr;
    QPushButton* previewButton_ = nullptr;
    QPushButton* removeButton_ = nullptr;
    QPushButton* downloadPlayButton_ = nullptr;
    QPushButton* downloadOnlyButton_ = nullptr;
    std::unique_ptr<BannerFetch> bannerFetch_;
    std::string captureProblem_;
    bool problemShown_ = false;
    bool placed_ = false;
    std::shared_ptr<TlsKeyLog> keyLog_;  // the sessions' own: a started browser's key log joins it
    std::unique_ptr<KeyLoggingBrowser> browser_;
};

}  // namespace tarnwick
