// SPDX-License-Identifier: GPL-3.0-or-later
// The sniffer window on the offscreen platform: layout after set-up, live rows, closing and capture.
#include <dirent.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <filesystem>
#include <functional>

#include "config/AppSettings.h"
#include "config/SiteAddresses.h"
#include "platform/DialogManager.h"
#include "platform/QtWindowServices.h"
#include "platform/ReportListView.h"
#include "resources/DialogResources.h"
#include "resources/ResourceIds.h"
#include "sniffer/CaptureStatusLine.h"
#include "sniffer/QuillmarkSnifferWindow.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

// The real services, except that what would leave the program is recorded instead.
class RecordingQtServices : public QtWindowServices {
public:
    std::vector<std::string> messages, addresses;
    bool openForReal = false;
    int MessageBox(WindowHandle, const std::string& text, const std::string&, unsigned) override {
        messages.push_back(text);
        return kIdOk;
    }
    void OpenAddress(WindowHandle owner, const std::string& address, OpenFailure failed) override {
        addresses.push_back(address);
        if (openForReal) QtWindowServices::OpenAddress(owner, address, std::move(failed));
    }
};

CaptureStart NoCapture() {
    return {{}, "no adapter in this test"};
}

DetectedVideo Video(const std::string& url, int64_t size, const std::string& type = "mp4\r\n") {
    return {url, "GET /x HTTP/1.1\r\n\r\n", std::to_string(size) + "\r\n", type, "test", 1700000000};
}

void Deliver(QuillmarkSnifferWindow& window, DetectedVideo video) {
    video.url = "http://" + video.url;
    window.HandleDetection(video);
    QApplication::processEvents();
}

QPushButton* Button(QWidget* w, int id) {
    return DialogManager::Bind<QPushButton>(w, id);
}

int ThreadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count;
}

TEST(SnifferWindow, SetUpPlacesEveryControl) {
    RecordingQtServices services;
    QuillmarkSnifferWindow window(services, NoCapture);
    EXPECT_EQ(window.windowTitle(), "Tarnwick - Recently Sniffed Videos");
    EXPECT_EQ(window.size(), QSize(386, 274));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());  // not resizable
    EXPECT_TRUE(window.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(window.pos(), QPoint(760, 200));
    EXPECT_EQ(window.LayoutScaler().FontHeight(), -11);

    double ux = window.LayoutScaler().BaseUnitX(), uy = window.LayoutScaler().BaseUnitY();
    auto at = [&](int x, int y) { return QPoint(int(x * ux / 4 + 0.5), int(y * uy / 8 + 0.5)); };
    struct Expect {
        int id;
        QString text;
        bool visible;
        QRect rect;
    };
    QPoint preview = at(17, 82), remove = at(89, 82), download = at(89, 103);
    for (const Expect& e :
         {Expect{kPreviewButtonId, "Preview", true, QRect(preview, QSize(70, 24))},
          Expect{kRemoveButtonId, "Remove", true, QRect(remove + QPoint(-24, 0), QSize(70, 24))},
          Expect{kDownloadOnlyButtonId, "Download", true, QRect(download + QPoint(60, -34), QSize(70, 24))},
          Expect{kDownloadPlayButtonId, "Download && Play", false, {}},
          Expect{kHelpButtonId, "Help...", true, QRect(278, 133, 70, 24)}}) {
        SCOPED_TRACE(e.id);
        QPushButton* button = Button(&window, e.id);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), e.text);
        EXPECT_EQ(button->isVisibleTo(&window), e.visible);
        if (e.visible) {
            EXPECT_EQ(button->geometry(), e.rect);
        }
        EXPECT_EQ(button->isEnabled(), e.id == kHelpButtonId);
    }
    EXPECT_EQ(DialogManager::Control(&window, kBannerId)->geometry(), QRect(70, 172, 234, 60));

    ReportListView* list = window.ListView();
    ASSERT_EQ(list->columnCount(), 3);
    EXPECT_EQ(list->headerItem()->text(0), "Time Sniffed");
    EXPECT_EQ(list->headerItem()->text(1), "Type");
    EXPECT_EQ(list->headerItem()->text(2), "Size");
    // Widths follow the font (see EveryColumnShowsItsWholeTextOnceSerialsGrow) and share the list's width.
    EXPECT_EQ(list->columnWidth(0) + list->columnWidth(1) + list->columnWidth(2), list->WidthForColumns());
    EXPECT_EQ(list->PictureCount(), 3);
    EXPECT_EQ(list->geometry(), QRect(at(7, 6), QSize(int(159 * ux / 4 + 0.5), int(68 * uy / 8 + 0.5))));
}

TEST(SnifferWindow, ASmallScreenShowsTheWholeWindow) {
    RecordingQtServices services;
    QuillmarkSnifferWindow window(services, NoCapture);
    window.show();
    const QRect available = window.screen()->availableGeometry();
    ASSERT_LT(available.width(), 760 + window.width());  // the offscreen platform's screen is small
    EXPECT_TRUE(available.contains(window.frameGeometry())) << window.frameGeometry().x();
    EXPECT_EQ(window.frameGeometry().right(), available.right());
    EXPECT_EQ(window.geometry().top(), 200);  // only as far as needed
}

TEST(SnifferWindow, DetectionsBecomeRowsNewestFirstWithButtonsFollowing) {
    RecordingQtServices services;
    QuillmarkSnifferWindow window(services, NoCapture);
    ReportListView* list = window.ListView();
    Deliver(window, Video("videohost/a.mp4", 100000));
    ASSERT_EQ(list->RowCount(), 1);
    int first = window.List()->Slot(0).serial;
    EXPECT_EQ(list->topLevelItem(0)->text(0).toStdString(), std::to_string(first) + ". 10:13:20 PM");
    EXPECT_EQ(list->topLevelItem(0)->text(1), "mp4");
    EXPECT_EQ(list->topLevelItem(0)->text(2), "0.10 MB");
    EXPECT_TRUE(list->IsRowSelected(0));
    for (int id : {kPreviewButtonId, kRemoveButtonId, kDownloadOnlyButtonId})
        EXPECT_TRUE(Button(&window, id)->isEnabled());

    Deliver(window, Video("www.youtube.com/videoplayback?id=1", 1048576, "x-flv\r\n"));
    ASSERT_EQ(list->RowCount(), 2);
    EXPECT_EQ(list->topLevelItem(0)->text(1), "flv");
    EXPECT_EQ(list->topLevelItem(0)->text(2), "1.00 MB");
    EXPECT_FALSE(Button(&window, kPreviewButtonId)->isEnabled());  // the newest is from the sharing site
    list->SelectRow(1);
    EXPECT_TRUE(Button(&window, kPreviewButtonId)->isEnabled());

    window.OnRemove();  // removes the selected (older) entry
    ASSERT_EQ(list->RowCount(), 1);
    EXPECT_EQ(window.List()->Slot(0).url, "http://www.youtube.com/videoplayback?id=1");
    window.OnRemove();
    EXPECT_EQ(list->RowCount(), 0);
    for (int id : {kPreviewButtonId, kRemoveButtonId, kDownloadOnlyButtonId})
        EXPECT_FALSE(Button(&window, id)->isEnabled());
    window.OnRemove();  // nothing selected: nothing happens
}

// Chooses the menu entry at index in the popup that opens next, by keys as a user would, and notes
// every entry's text and state.
void ChooseInNextMenu(int index, std::vector<std::pair<std::string, bool>>& entries) {
    QTimer::singleShot(0, [index, &entries] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        for (QAction* action : menu->actions()) entries.emplace_back(action->text().toStdString(), action->isEnabled());
        if (index < 0) {
            menu->close();
            return;
        }
        menu->setActiveAction(menu->actions().at(index));
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(menu, &enter);
    });
}

// The list's right-click menu: "Copy Address" takes the address of the entry under the pointer (rows
// show the newest first); off the entries it cannot be chosen. Without a live capture no browser is
// opened: nothing would read its traffic.
TEST(SnifferWindow, RightClickMenuCopiesTheAddressOfTheEntryUnderThePointer) {
    RecordingQtServices services;
    QuillmarkSnifferWindow window(services, [] {
        CaptureStart start;
        start.problem = "no adapter in this test";
        start.keyLog = std::make_shared<TlsKeyLog>("");
        return start;
    });
    window.show();
    Deliver(window, Video("videohost/older.mp4", 100000));
    Deliver(window, Video("videohost/newer.mp4", 200000));
    ReportListView* list = window.ListView();
    const QPoint olderRow = list->visualItemRect(list->topLevelItem(1)).center();

    std::vector<std::pair<std::string, bool>> entries;
    ChooseInNextMenu(1, entries);
    window.OnListContextMenu(olderRow);
    const std::vector<std::pair<std::string, bool>> expected = {{"Open a Browser Tarnwick Can Read", false},
                                                                {"Copy Address", true}};
    EXPECT_EQ(entries, expected);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), "http://videohost/older.mp4");

    entries.clear();
    ChooseInNextMenu(-1, entries);
    window.OnListContextMenu(QPoint(5, list->viewport()->height() - 2));  // below the rows
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_FALSE(entries[1].second);
}

TEST(SnifferWindow, TheTwentySixthVideoPushesOutTheOldest) {
    RecordingQtServices services;
    QuillmarkSnifferWindow window(services, NoCapture);
    for (int i = 0; i < 26; ++i) Deliver(window, Video("host/v" + std::to_string(i), 200000 + i));
    ReportListView* list = window.ListView();
    ASSERT_EQ(list->RowCount(), 25);
    int newest = window.List()->Slot(24).serial;
    EXPECT_EQ(list->topLevelItem(0)->text(0).section('.', 0, 0).toInt(), newest);
    EXPECT_EQ(list->topLevelItem(24)->text(0).section('.', 0, 0).toInt(), newest - 24);
    EXPECT_EQ(window.List()->FindByUrl("http://host/v0"), -1);
    EXPECT_TRUE(list->IsRowSelected(0));
}

TEST(SnifferWindow, EveryColumnShowsItsWholeTextOnceSerialsGrow) {
    RecordingQtServices services;
    QuillmarkSnifferWindow window(services, NoCapture);
    window.show();
    // Serials of three digits, morning times, sizes in the gigabytes and the usual types.
    const char* types[] = {"x-flv\r\n", "mp4\r\n", "webm\r\n", "3gpp\r\n"};
    for (int i = 0; SniffSerialCounter.load() < 130; ++i) {
        DetectedVideo video = Video("videohost/clip" + std::to_string(i) + ".flv", 9876543210LL + i, types[i % 4]);
        video.seenAtSeconds = 1700000000 - 12 * 3600 + 7 * i;
        Deliver(window, video);
    }
    ReportListView* list = window.ListView();
    ASSERT_EQ(list->RowCount(), 25);
    ASSERT_NE(list->topLevelItem(0)->text(0).indexOf(" AM"), -1);
    QAbstractItemView* view = list;  // the width each column's texts need, from the view's own delegate
    int total = 0;
    for (int column = 0; column < 3; ++column) {
        EXPECT_GE(list->columnWidth(column), view->sizeHintForColumn(column))
            << "column " << column << ": " << list->topLevelItem(0)->text(column).toStdString();
        EXPECT_GE(list->columnWidth(column), list->header()->sectionSizeHint(column)) << "header of column " << column;
        total += list->columnWidth(column);
    }
    // No sideways scrolling with the vertical scroll bar showing.
    EXPECT_LE(total, list->viewport()->width());
}

TEST(SnifferWindow, EnterAndEscapeEndTheRun) {
    RecordingQtServices services;
    for (int key : {Qt::Key_Return, Qt::Key_Escape}) {
        QuillmarkSnifferWindow window(services, NoCapture);
        QTimer::singleShot(0, &window, [&window, key] {
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            QApplication::sendEvent(&window, &press);
        });
        EXPECT_EQ(window.exec(), key == Qt::Key_Return ? QDialog::Accepted : QDialog::Rejected);
    }
}

TEST(SnifferWindow, HelpOpensTheHelpPageAndAProblemIsSaidOnce) {
    RecordingQtServices services;
    QuillmarkSnifferWindow window(services, NoCapture);
    Button(&window, kHelpButtonId)->click();
    ASSERT_EQ(services.addresses.size(), 1u);
    EXPECT_NE(services.addresses[0].find("help"), std::string::npos);
    window.show();
    QApplication::processEvents();
    window.hide();
    window.show();
    QApplication::processEvents();
    ASSERT_EQ(services.messages.size(), 1u);
    EXPECT_NE(services.messages[0].find("no adapter in this test"), std::string::npos);
}

TEST(SnifferWindow, HelpThatCannotBeShownIsSaidWithThePagesPath) {
    testing::TempDir bin;
    // Stand-ins for xdg-open: one that finds no browser (status 3), one that shows the page.
    std::string failing = bin.Write("fails/xdg-open", "#!/bin/sh\nexit 3\n");
    std::string working = bin.Write("works/xdg-open", "#!/bin/sh\necho \"$1\" > \"${0%/*}/opened\"\n");
    for (const std::string& script : {failing, working})
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    RecordingQtServices services;
    services.openForReal = true;
    QuillmarkSnifferWindow window(services, NoCapture);
    auto waitFor = [](const std::function<bool()>& done) {
        for (int i = 0; i < 500 && !done(); ++i) {
            QApplication::processEvents();
            QThread::msleep(10);
        }
    };
    {
        testing::ScopedEnv path("PATH", (bin / "fails").c_str());
        Button(&window, kHelpButtonId)->click();
        waitFor([&] { return !services.messages.empty(); });
        ASSERT_EQ(services.messages.size(), 1u);
        EXPECT_NE(services.messages[0].find("The help page could not be opened: no program to show it was found"),
                  std::string::npos);
        EXPECT_NE(services.messages[0].find("\n" + ShippedHelpFile(Settings())), std::string::npos)
            << services.messages[0];
    }
    {
        testing::ScopedEnv path("PATH", (bin / "works").c_str());
        Button(&window, kHelpButtonId)->click();
        waitFor([&] { return std::filesystem::exists(bin / "works/opened"); });
        QThread::msleep(300);
        QApplication::processEvents();
        EXPECT_EQ(testing::ReadFile(bin / "works/opened"), HelpUrl(Settings()) + "\n");
        EXPECT_EQ(services.messages.size(), 1u);
    }
}

TEST(SnifferWindow, ReplayFillsTheListAndClosingStopsEveryCaptureThread) {
    int before = ThreadCount();
    {
        RecordingQtServices services;
        QuillmarkSnifferWindow window(services, [] {
            CommandLine options;
            options.readFile = std::string(TARNWICK_TEST_DATA) + "/videos-separate.pcap";
            return StartCapture(options);
        });
        ASSERT_EQ(CaptureSessionList().size(), 1u);
        for (int i = 0; i < 200 && !window.AllCaptureFinished(); ++i) {
            QApplication::processEvents();
            QThread::msleep(10);
        }
        QApplication::processEvents();
        EXPECT_GE(window.ListView()->RowCount(), 1);
        EXPECT_EQ(CurrentSnifferWindow.load(), &window);
    }
    EXPECT_TRUE(CaptureSessionList().empty());
    EXPECT_EQ(CurrentSnifferWindow.load(), nullptr);
    EXPECT_LE(ThreadCount(), before);
}

TEST(SnifferWindow, DamagedReplayKeepsItsVideosAndSaysWhereOnce) {
    testing::TempDir dir;
    const std::string whole = testing::ReadFile(std::string(TARNWICK_TEST_DATA) + "/videos-separate.pcap");
    // Cut a few bytes before the end: inside the last record.
    const std::string path = dir.Write("cut.pcap", whole.substr(0, whole.size() - 20));
    RecordingQtServices services;
    QuillmarkSnifferWindow window(services, [&path] {
        CommandLine options;
        options.readFile = path;
        return StartCapture(options);
    });
    for (int i = 0; i < 300 && services.messages.empty(); ++i) {
        QApplication::processEvents();
        QThread::msleep(10);
    }
    window.StatusLine()->Refresh();
    ASSERT_EQ(services.messages.size(), 1u);
    EXPECT_NE(services.messages[0].find("Capture file " + path + " is damaged or cut off at packet "),
              std::string::npos)
        << services.messages[0];
    EXPECT_NE(services.messages[0].find("byte offset"), std::string::npos);
    EXPECT_EQ(window.ListView()->RowCount(), 4);
}

TEST(SnifferWindow, LostPacketsShowUnderTheBannerWithTheFiguresInTheTooltip) {
    RecordingQtServices services;
    QWidget window;
    std::vector<CaptureStatusLine::SessionReport> reports{{"eth0", CaptureStatistics{5000, 0, 0}, {}, false},
                                                          {"replay.pcap", std::nullopt, {}, true}};
    CaptureStatusLine line(&window, services, &window, [&reports] { return reports; });
    line.Refresh();
    EXPECT_FALSE(line.Label()->isVisibleTo(&window));

    reports.push_back({"wlan0", CaptureStatistics{2000000, 12000, 345}, {}, false});
    line.Refresh();
    EXPECT_TRUE(line.Label()->isVisibleTo(&window));
    EXPECT_EQ(line.Label()->text(), "12,345 packets lost under load on wlan0");
    EXPECT_EQ(line.Label()->toolTip().section('\n', 0, 1),
              "eth0: 5,000 packets received by filter, 0 dropped by the kernel\n"
              "wlan0: 2,000,000 packets received by filter, 12,000 dropped by the kernel, 345 by the interface");
    EXPECT_TRUE(services.messages.empty());
}

}  // namespace
}  // namespace tarnwick
