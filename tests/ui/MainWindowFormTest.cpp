#include "ui/MainWindowForm.h"
#include "ui/BusyCursor.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include <stdexcept>

namespace orvo::ui {
namespace {

TEST(MainWindowFormTest, LayoutAtDesignSize) {
  MainWindowForm form;
  form.show();
  EXPECT_EQ(form.windowTitle(), "Orvo Certificate Importer");
  EXPECT_EQ(form.size(), QSize(848, 488));
  EXPECT_EQ(form.Panel1->geometry(), QRect(0, 0, 848, 97));
  EXPECT_EQ(form.Panel2->geometry(), QRect(0, 432, 848, 56));
  EXPECT_EQ(form.PnlClient->geometry(), QRect(0, 97, 848, 335));
  EXPECT_EQ(form.BtnNext->geometry(), QRect(750, 15, 75, 25));
  EXPECT_EQ(form.BtnBack->geometry(), QRect(662, 15, 75, 25));
  EXPECT_EQ(form.JvImage2->pixmap().size(), QSize(585, 30));
  EXPECT_FALSE(form.BtnNext->isDefault());
  EXPECT_FALSE(form.BtnBack->autoDefault());
}

TEST(MainWindowFormTest, EveryWidgetBearsItsNameAndButtonsTheirCaption) {
  MainWindowForm form;
  for (const char* name : {"Panel1", "Panel2", "PnlClient", "BtnNext", "BtnBack", "JvImage2",
                           "txtstepinfo", "LblVersion"}) {
    EXPECT_NE(form.findChild<QWidget*>(QString::fromLatin1(name)), nullptr) << name;
  }
  EXPECT_EQ(form.BtnNext->accessibleName(), "Next Step >");
  EXPECT_EQ(form.BtnBack->accessibleName(), "< Back");
}

TEST(MainWindowFormTest, WideningKeepsButtonsAtTheirDistanceFromTheRightEdge) {
  MainWindowForm form;
  form.show();
  form.resize(1200, 600);
  EXPECT_EQ(form.BtnNext->x(), 1200 - 23 - 75);
  EXPECT_EQ(form.BtnBack->x(), 1200 - 111 - 75);
  EXPECT_EQ(form.PnlClient->width(), 1200);
}

TEST(MainWindowFormTest, HostedPageFillsTheClientPanelAndGoesBackToItsFrame) {
  MainWindowForm form;
  form.show();
  QWidget frame;
  auto* page = new QWidget(&frame);
  QWidget otherFrame;
  auto* other = new QWidget(&otherFrame);

  form.HostPage(page);
  form.resize(1000, 700);
  EXPECT_EQ(form.HostedPage(), page);
  EXPECT_EQ(page->size(), form.PnlClient->size());

  form.HostPage(other); // only one page at a time
  EXPECT_EQ(form.HostedPage(), other);
  EXPECT_EQ(page->parentWidget(), &frame);

  form.ReturnPage(other);
  EXPECT_EQ(form.HostedPage(), nullptr);
  EXPECT_EQ(other->parentWidget(), &otherFrame);
}

} // namespace
} // namespace orvo::ui

namespace orvo::ui {
namespace {

TEST(BusyCursorTest, RestoresTheCursorWhateverHappens) {
  try {
    const BusyCursor outer;
    const BusyCursor inner;
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    throw std::runtime_error("leaves the scope early");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

} // namespace
} // namespace orvo::ui
