#include "updater/progress_window.h"

#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"

#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

namespace towagi {
namespace {

TEST(TFQRD00FT, LayoutAndInitialTexts) {
    TFQRD00FT window(nullptr);
    EXPECT_EQ(window.windowTitle(), QString("積算『とわぎ』の起動"));
    EXPECT_EQ(window.size(), QSize(426, 136));
    struct Control {
        QWidget* widget;
        QRect geometry;
    };
    for (const auto& c : std::vector<Control>{{window.lblTitle, {12, 4, 304, 16}},
                                              {window.lblFileName, {128, 48, 192, 16}},
                                              {window.ProgressBar, {8, 72, 409, 9}},
                                              {window.lblMsg, {16, 88, 407, 12}},
                                              {window.btnCancel, {176, 106, 89, 25}}})
        EXPECT_EQ(c.widget->geometry(), c.geometry) << c.widget->metaObject()->className();
    EXPECT_EQ(window.lblTitle->text(), QString("更新情報を本社に問い合わせ中です．．．"));
    EXPECT_EQ(window.lblFileName->text(), QString("しばらくお待ちください。"));
    EXPECT_EQ(window.btnCancel->text(), QString("ｷｬﾝｾﾙ"));
    EXPECT_EQ(window.lblTitle->font().family(), QString("ＭＳ 明朝"));
    EXPECT_EQ(window.lblTitle->font().pixelSize(), 16);
    EXPECT_EQ(window.font().family(), QString("ＭＳ Ｐゴシック"));
    EXPECT_EQ(window.ProgressBar->maximum(), 100);
    EXPECT_EQ(window.ProgressBar->value(), 0);
    EXPECT_EQ(window.Timer2->interval(), 1000);
    EXPECT_TRUE(window.Timer2->isActive());
    EXPECT_FALSE(window.Cancelled());
    EXPECT_FALSE(window.Reconnect());
    EXPECT_FALSE(window.windowFlags() & Qt::WindowCloseButtonHint);
}

TEST(TFQRD00FT, FontsOfTheLinesPerEdition) {
    struct Case {
        const EditionProfile* profile;
        QString msgFamily;
        int msgPixels;
    };
    for (const auto& c : std::vector<Case>{{nullptr, "ＭＳ 明朝", 12},
                                          {&EstimationEdition(), "ＭＳ 明朝", 12},
                                          {&CostEdition(), "ＭＳ Ｐゴシック", 12}}) {
        TFQRD00FT window(nullptr, c.profile);
        const std::string label = c.profile ? c.profile->ProgramName : "no profile";
        EXPECT_EQ(window.lblMsg->font().family(), c.msgFamily) << label;
        EXPECT_EQ(window.lblMsg->font().pixelSize(), c.msgPixels) << label;
        for (QLabel* mincho16 : {window.lblTitle, window.lblStatus, window.lblFileName}) {
            EXPECT_EQ(mincho16->font().family(), QString("ＭＳ 明朝")) << label;
            EXPECT_EQ(mincho16->font().pixelSize(), 16) << label;
        }
        EXPECT_EQ(window.lblPsv->font().family(), QString("ＭＳ 明朝")) << label;
        EXPECT_EQ(window.lblPsv->font().pixelSize(), 13) << label;
        EXPECT_EQ(window.font().pixelSize(), 12) << label;
        EXPECT_EQ(window.lblMsg->alignment(), Qt::AlignHCenter | Qt::AlignVCenter) << label;
    }
}

TEST(TFQRD00FT, CancelOnlyRecordsTheRequestOnceOrTwice) {
    TFQRD00FT window(nullptr);
    window.show();
    window.SetTitle("ダウンロード中です");
    QTest::mouseClick(window.btnCancel, Qt::LeftButton);
    EXPECT_TRUE(window.Cancelled());
    EXPECT_EQ(window.lblTitle->text(), QString("処理を中断しています。"));
    window.SetTitle("次の処理");
    QTest::mouseClick(window.btnCancel, Qt::LeftButton);
    EXPECT_TRUE(window.Cancelled());
    EXPECT_EQ(window.lblTitle->text(), QString("処理を中断しています。"));
    EXPECT_TRUE(window.isVisible());
}

TEST(TFQRD00FT, LinesBarAndTransferMode) {
    TFQRD00FT window(nullptr);
    window.StartProgress(3);
    for (int i = 0; i < 5; ++i) window.StepProgress();
    EXPECT_EQ(window.ProgressBar->value(), 3);
    window.SetTransferMode("Passive");
    EXPECT_EQ(window.TransferMode(), "Passive");
    // Sized to its text and right-aligned at the window's right margin.
    EXPECT_EQ(window.lblPsv->geometry().right() + 1, 413);
    EXPECT_GT(window.lblPsv->width(), 0);
    window.SetStatus("接続中");
    EXPECT_EQ(window.lblStatus->x(), 8);
    EXPECT_GT(window.lblStatus->width(), 0);
    window.SetCancelEnabled(false);
    EXPECT_FALSE(window.btnCancel->isEnabled());
    // The longest phase text is shown whole; a short one keeps the label's own width.
    window.SetTitle("更新ファイルをダウンロードしています．．．");
    EXPECT_GE(window.lblTitle->width(), window.lblTitle->fontMetrics().horizontalAdvance(window.lblTitle->text()));
    EXPECT_LE(window.lblTitle->geometry().right(), window.width());
    window.SetTitle("短い");
    EXPECT_EQ(window.lblTitle->width(), 304);
}

TEST(TFQRD00FT, TimerSignalsEverySecond) {
    TFQRD00FT window(nullptr);
    int fired = 0;
    window.OnTimer2 = [&] { ++fired; };
    window.Timer2->setInterval(10);
    QTest::qWait(100);
    EXPECT_GE(fired, 2);
}

} // namespace
} // namespace towagi
