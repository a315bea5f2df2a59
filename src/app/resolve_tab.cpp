#include "app/resolve_tab.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeWidget>

#include "app/controls.h"
#include "app/prompt_dialogs.h"
#include "app/qt_text.h"
#include "share/resolve_driver.h"

namespace sf::app {

// The driver's prompts and view on the worker's side: each call crosses to the window's thread.
class ResolveTab::Crossing : public ResolvePrompts, public ResolveView {
 public:
  explicit Crossing(ResolveTab& tab) : tab_(&tab), bridge_(tab.bridge_) {}

  std::string ReadUrl() {
    return bridge_.Ask([tab = tab_] { return ToGbk(tab->url_->text()); });
  }
  std::string AskPassword() override {
    return bridge_.Ask([tab = tab_] { return tab->AskPassword(); });
  }
  std::string AskCaptcha(ShareSession& session, int reason) override {
    return bridge_.Ask([tab = tab_, s = &session, reason] { return tab->AskCaptcha(*s, reason); });
  }
  void ShowStatus(const std::string& text) override {
    bridge_.Post([tab = tab_, text] { tab->showStatus_(text); });
  }
  void SetNameColumnTitle(const std::string& title) override {
    bridge_.Post([tab = tab_, title] { tab->list_->headerItem()->setText(1, FromGbk(title)); });
  }
  void AddRow(const std::array<std::string, 4>& columns) override {
    bridge_.Post([tab = tab_, columns] {
      auto* item = new QTreeWidgetItem(tab->list_);
      for (int i = 0; i < 4; ++i) item->setText(i, FromGbk(columns[static_cast<size_t>(i)]));
    });
  }

 private:
  ResolveTab* tab_;  // touched only by calls that run on the window's thread
  WorkerBridge& bridge_;
};

ResolveTab::ResolveTab(std::shared_ptr<ShareSession> session,
                       std::function<void(const std::string&)> showStatus, QWidget* parent)
    : TabPage(parent),
      session_(std::move(session)),
      showStatus_(std::move(showStatus)),
      bridge_(this) {
  session_->SetCancelFlag(bridge_.cancelFlag());
  Place(new QLabel(QStringLiteral("网盘地址："), this), "透明标签1", 24, 24, 64, 32);
  url_ = Place(new QLineEdit(this), "编辑框_URL", 88, 31, 242, 20);
  parse_ = Place(new QPushButton(QStringLiteral("解析"), this), "按钮1", 342, 30, 67, 23);
  list_ = MakeReportList(this, "超级列表框1", 24, 56, 440, 304,
                         {{"编号", 50}, {"文件名", 120}, {"文件大小", 80}, {"下载地址", 190}});
  menu_ = new QMenu(this);
  menu_->setObjectName(QStringLiteral("菜单"));
  QAction* copy = menu_->addAction(QStringLiteral("复制链接"));
  copy->setObjectName(QStringLiteral("复制链接"));
  QAction* start = menu_->addAction(QStringLiteral("开始下载"));
  start->setObjectName(QStringLiteral("开始下载"));
  start->setEnabled(false);

  connect(parse_, &QPushButton::clicked, this, &ResolveTab::Parse);
  connect(copy, &QAction::triggered, this, &ResolveTab::CopyLink);
  connect(start, &QAction::triggered, this, &ResolveTab::StartSelectedDownload);
  connect(list_, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem*, int) { StartSelectedDownload(); });
  list_->viewport()->installEventFilter(this);
}

ResolveTab::~ResolveTab() {
  StopWork();
}

void ResolveTab::SetUrl(const QString& url) {
  url_->setText(url);
}

void ResolveTab::StopWork() {
  // A prompt left open would keep the program from ending once the window is gone.
  if (prompt_) prompt_->reject();
  bridge_.Close();
}

void ResolveTab::SetStartDownload(std::function<void(const DownloadRequest&)> start) {
  startDownload_ = std::move(start);
  menu_->findChild<QAction*>(QStringLiteral("开始下载"))
      ->setEnabled(static_cast<bool>(startDownload_));
}

bool ResolveTab::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_->viewport() && event->type() == QEvent::MouseButtonPress &&
      static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
    // Select the row under the pointer first, as a report list does, then show the menu.
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (QTreeWidgetItem* item = list_->itemAt(mouse->position().toPoint()))
      list_->setCurrentItem(item);
    menu_->popup(mouse->globalPosition().toPoint());
    return true;
  }
  return TabPage::eventFilter(watched, event);
}

void ResolveTab::Parse() {
  if (bridge_.running()) return;
  list_->clear();
  parse_->setEnabled(false);
  bridge_.Start(
      [this] {
        Crossing crossing(*this);
        ResolveDriver driver(*session_, crossing, crossing);
        driver.Run([&] { return crossing.ReadUrl(); });
      },
      [this] { parse_->setEnabled(true); });
}

std::string ResolveTab::AskPassword() {
  PasswordDialog dialog(window());
  prompt_ = &dialog;
  dialog.exec();
  return dialog.answer();
}

std::string ResolveTab::AskCaptcha(ShareSession& session, int reason) {
  CaptchaDialog dialog(session, reason, window());
  prompt_ = &dialog;
  dialog.exec();
  return dialog.answer();
}

void ResolveTab::CopyLink() {
  QTreeWidgetItem* item = list_->currentItem();
  if (!item) return;
  QApplication::clipboard()->setText(item->text(3));
}

void ResolveTab::StartSelectedDownload() {
  QTreeWidgetItem* item = list_->currentItem();
  // A click on an empty part of the list, or no row selected, starts nothing.
  if (!item || !item->isSelected() || !startDownload_) return;
  DownloadRequest request;
  request.name = ToGbk(item->text(1));
  request.address = ToGbk(item->text(3));
  // The service's byte count lets the download see that a file is already whole on disk.
  bool whole = false;
  qlonglong size = item->text(2).toLongLong(&whole);
  if (whole && size >= 0) request.expectedSize = size;
  startDownload_(request);
}

}  // namespace sf::app
