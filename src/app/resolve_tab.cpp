#include "app/resolve_tab.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>
#include <atomic>

#include "app/controls.h"
#include "app/prompt_dialogs.h"
#include "app/qt_text.h"
#include "app/resolve_bridge.h"
#include "share/resolve_driver.h"

namespace sf::app {
namespace {

std::atomic<int> runningWorkers{0};

}  // namespace

ResolveTab::ResolveTab(std::shared_ptr<ShareSession> session,
                       std::function<void(const std::string&)> showStatus, QWidget* parent)
    : TabPage(parent), session_(std::move(session)), showStatus_(std::move(showStatus)) {
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
  // A parse still waiting on the network is left to the end of the process.
  if (worker_.joinable()) worker_.detach();
}

void ResolveTab::SetUrl(const QString& url) {
  url_->setText(url);
}

bool ResolveTab::WorkerRunning() {
  return runningWorkers.load() > 0;
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
  if (!parse_->isEnabled()) return;
  list_->clear();
  parse_->setEnabled(false);
  if (worker_.joinable()) worker_.join();

  QPointer<ResolveTab> self(this);
  ResolveTarget target;
  target.readUrl = [self] { return self ? ToGbk(self->url_->text()) : std::string(); };
  target.showStatus = [self](const std::string& text) {
    if (self) self->showStatus_(text);
  };
  target.setNameColumnTitle = [self](const std::string& title) {
    if (self) self->list_->headerItem()->setText(1, FromGbk(title));
  };
  target.addRow = [self](const std::array<std::string, 4>& columns) {
    if (!self) return;
    auto* item = new QTreeWidgetItem(self->list_);
    for (int i = 0; i < 4; ++i) item->setText(i, FromGbk(columns[static_cast<size_t>(i)]));
  };
  target.askPassword = [self] { return self ? self->AskPassword() : std::string(); };
  target.askCaptcha = [self](ShareSession& s, int reason) {
    return self ? self->AskCaptcha(s, reason) : std::string();
  };

  auto bridge = std::make_shared<ResolveBridge>(this, std::move(target));
  std::shared_ptr<ShareSession> session = session_;
  ++runningWorkers;
  worker_ = std::thread([bridge, session, self] {
    ResolvePrompts& prompts = *bridge;
    ResolveView& view = *bridge;
    ResolveDriver driver(*session, prompts, view);
    driver.Run([&] { return bridge->ReadUrl(); });
    --runningWorkers;
    if (QObject* context = self.data())
      QMetaObject::invokeMethod(
          context,
          [self] {
            if (self) self->ParseFinished();
          },
          Qt::QueuedConnection);
  });
}

void ResolveTab::ParseFinished() {
  if (worker_.joinable()) worker_.join();
  parse_->setEnabled(true);
}

std::string ResolveTab::AskPassword() {
  PasswordDialog dialog(window());
  dialog.exec();
  return dialog.answer();
}

std::string ResolveTab::AskCaptcha(ShareSession& session, int reason) {
  CaptchaDialog dialog(session, reason, window());
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
