// The main window on a small laptop screen: its minimum leaves room for a panel on a
// 1280 x 720 screen, and at that size and at its minimum every control of every page
// can be seen whole, in view or in reach of its page's scroll bars. On a large screen
// the window opens at its old desktop size. Grabs of every page at 1280 x 720 go to
// build/test/grabs for review.
#include <QApplication>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MainTestKit.h"
#include "QtTestApp.h"

using namespace tilo;

namespace {

// The scroll area whose viewport is Widget, if any.
const QScrollArea* ScrollAreaOfViewport(const QWidget* Widget) {
    const auto* area = qobject_cast<const QScrollArea*>(Widget ? Widget->parentWidget() : nullptr);
    return area && area->viewport() == Widget ? area : nullptr;
}

// Why Control cannot be seen whole in Window, empty when it can: every parent up to the
// window holds it whole, except a scroll area's viewport, whose content may be larger
// as long as the scroll bars reach all of it. It must also be no smaller than it needs.
std::string Unreachable(const QWidget* Control, const QWidget* Window) {
    // The least it needs, as its layout reckons it: a minimum set on it, else its hint.
    const QSize hint = Control->minimumSizeHint();
    const int leastWidth = Control->minimumWidth() > 0 ? Control->minimumWidth() : hint.width();
    const int leastHeight = Control->minimumHeight() > 0 ? Control->minimumHeight() : hint.height();
    if (Control->width() <= 0 || Control->height() <= 0 || Control->width() < leastWidth ||
        Control->height() < leastHeight)
        return "squeezed to " + std::to_string(Control->width()) + "x" + std::to_string(Control->height());
    QRect r = Control->rect();
    for (const QWidget* w = Control; w != Window; w = w->parentWidget()) {
        const QWidget* parent = w->parentWidget();
        r.translate(w->pos());
        if (const QScrollArea* area = ScrollAreaOfViewport(parent)) {
            const QWidget* content = area->widget();
            if (content != w) return "in a viewport but not the scroll area's content";
            const QScrollBar* bars[] = {area->verticalScrollBar(), area->horizontalScrollBar()};
            const int beyond[] = {content->height() - parent->height(), content->width() - parent->width()};
            for (int i = 0; i < 2; ++i)
                if (beyond[i] > 0 && (!bars[i]->isVisible() || bars[i]->maximum() < beyond[i]))
                    return "beyond the reach of its scroll bars";
            r = parent->rect();  // any part of the content can be scrolled into view
            continue;
        }
        if (!parent->rect().contains(r))
            return "outside " + parent->objectName().toStdString() + " (" + parent->metaObject()->className() + ")";
    }
    return {};
}

// Every named control now visible in W that cannot be seen whole, with the reason.
std::vector<std::string> Hidden(const TfrmMain& W, const std::string& Where) {
    std::vector<std::string> out;
    for (const QWidget* c : W.findChildren<QWidget*>()) {
        const QString name = c->objectName();
        if (name.isEmpty() || name.startsWith("qt_") || c->isWindow() || !c->isVisible()) continue;
        const std::string why = Unreachable(c, &W);
        if (!why.empty()) out.push_back(Where + ": " + name.toStdString() + " " + why);
    }
    return out;
}

std::string FileName(const QString& Title) {
    std::string s = Title.toLower().toStdString();
    for (char& ch : s)
        if (ch == ' ') ch = '-';
    return s;
}

}  // namespace

TEST(WindowFit, TheMinimumLeavesRoomForAPanelOnA1280x720Screen) {
    TfrmMain w;
    EXPECT_LE(w.minimumSizeHint().width(), 1200);
    EXPECT_LE(w.minimumSizeHint().height(), 680);
    w.show();
    QCoreApplication::processEvents();
    // The window goes no smaller than its layout allows: asked for less, it stops there.
    w.resize(100, 100);
    QCoreApplication::processEvents();
    EXPECT_LE(w.width(), 1200);
    EXPECT_LE(w.height(), 680);
    EXPECT_LE(w.minimumWidth(), 1200);
    EXPECT_LE(w.minimumHeight(), 680);
    // The pages that scroll make the difference: whole, they would not fit.
    EXPECT_GT(w.WholePagesSize().height(), w.height());
    w.TimOpenDB->stop();
}

TEST(WindowFit, EveryControlOfEveryPageCanBeSeenWhole) {
    struct Size {
        const char* name;
        QSize size;  // empty: the window's minimum
        bool grab;
    };
    const Size sizes[] = {{"1280x720", {1280, 720}, true}, {"the minimum", {}, false}};
    for (const Size& s : sizes) {
        SCOPED_TRACE(s.name);
        TfrmMain w;
        w.ClockSource = [] { return tilo_test::Utc(2024, 5, 17, 6, 30, 0); };
        w.meLogAdd("2024-05-17 06:29:58> ZCZC EA01");
        w.meLogAdd("2024-05-17 06:29:59> GALE WARNING");
        w.show();
        w.resize(s.size.isEmpty() ? w.minimumSize() : s.size);
        QCoreApplication::processEvents();
        if (!s.size.isEmpty()) {
            EXPECT_EQ(w.size(), s.size);
        }
        // The map group's date and buttons, shown once connected.
        w.gbAtlas->show();
        std::vector<std::string> hidden;
        auto look = [&](QTabWidget* Pages, int Index) {
            Pages->setCurrentIndex(Index);
            QCoreApplication::processEvents();
            const auto more = Hidden(w, Pages->tabText(Index).toStdString());
            hidden.insert(hidden.end(), more.begin(), more.end());
        };
        for (int i = 0; i < w.PageControl1->count(); ++i) {
            look(w.PageControl1, i);
            if (s.grab)
                tilo_test::SaveGrab(w.grab().toImage(), "fit-1280x720-" + FileName(w.PageControl1->tabText(i)));
        }
        for (int i = 0; i < w.PageControl2->count(); ++i) {
            look(w.PageControl2, i);
            if (s.grab)
                tilo_test::SaveGrab(w.grab().toImage(), "fit-1280x720-lower-" + FileName(w.PageControl2->tabText(i)));
        }
        EXPECT_TRUE(hidden.empty()) << testing::PrintToString(hidden);
        w.TimOpenDB->stop();
    }
}

// A page lower than its content scrolls: its lowest control is out of view at first and
// in view once the page's scroll bar is at its end.
TEST(WindowFit, AScrolledPageBringsItsLowestControlIntoView) {
    TfrmMain w;
    w.show();
    w.resize(w.minimumSize());
    w.PageControl1->setCurrentWidget(w.tsReport);
    QCoreApplication::processEvents();
    auto* area = w.tsReport->findChild<QScrollArea*>();
    ASSERT_NE(area, nullptr);
    auto inView = [&](const QWidget* C) {
        const QRect r(C->mapTo(area->viewport(), QPoint(0, 0)), C->size());
        return area->viewport()->rect().contains(r);
    };
    EXPECT_FALSE(inView(w.sbReverse));
    area->verticalScrollBar()->setValue(area->verticalScrollBar()->maximum());
    QCoreApplication::processEvents();
    EXPECT_TRUE(inView(w.sbReverse));
    w.TimOpenDB->stop();
}

TEST(WindowFit, TheOldDesktopSizeOnALargeScreenMaximisedOnASmallOne) {
    struct Case {
        const char* screen;
        QRect available;  // what the panels leave
        bool maximised;
    };
    const Case cases[] = {
        {"1920x1080 with a panel", {0, 27, 1920, 1053}, false},
        {"1366x768 with a panel", {0, 27, 1366, 741}, true},
        {"1280x720 with a panel", {0, 0, 1280, 684}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.screen);
        TfrmMain w;
        EXPECT_EQ(w.size(), QSize(1220, 1000));
        w.FitToScreen(c.available);
        EXPECT_EQ(bool(w.windowState() & Qt::WindowMaximized), c.maximised);
        if (c.maximised) {
            EXPECT_LE(w.width(), c.available.width());
            EXPECT_LE(w.height(), c.available.height());
            EXPECT_EQ(w.pos(), c.available.topLeft());
        } else {
            EXPECT_EQ(w.size(), QSize(1220, 1000));
        }
        w.TimOpenDB->stop();
    }
}
