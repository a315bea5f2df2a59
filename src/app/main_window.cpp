#include "app/main_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <iostream>
#include <utility>

#include "app/about_box.h"
#include "app/controls.h"
#include "app/downloads_tab.h"
#include "app/progress_delegate.h"
#include "app/qt_text.h"
#include "app/quick_tab.h"
#include "app/remote_dialog.h"
#include "app/resolve_tab.h"
#include "app/skin.h"
#include "app/unfinished_tab.h"
#include "share/share_session.h"
#include "view/download_list.h"

namespace sf::app {

MainWindow::MainWindow(AppState& state, QWidget* parent) : QMainWindow(parent), state_(state) {
  setWindowTitle(QStringLiteral("ShareFetch · 分享链接解析与下载"));
  setGeometry(50, 50, 498, 451);
  setFixedSize(498, 451);

  auto* central = new QWidget(this);
  setCentralWidget(central);
  tabs_ = Place(new QTabWidget(central), "选择夹1", 8, 8, 456, 368);
  auto showStatus = [this](const std::string& text) { ShowStatus(text); };
  resolve_ = new ResolveTab(state_.session, showStatus);
  quick_ = new QuickTab(state_.session->host(), showStatus);
  downloads_ = new DownloadsTab(state_, showStatus);
  unfinished_ = new UnfinishedTab;
  tabs_->addTab(resolve_, QStringLiteral("第一种模式"));
  tabs_->addTab(quick_, QStringLiteral("第二种模式"));
  tabs_->addTab(downloads_, QStringLiteral("正在下载"));
  tabs_->addTab(unfinished_, QStringLiteral("未完成的下载"));
  resolve_->SetStartDownload(
      [this](const DownloadRequest& request) { downloads_->StartDownload(request); });
  // The tabs go in no set order when the window does: the resolve tab finds the downloads tab
  // gone rather than dangling.
  QPointer<DownloadsTab> downloads(downloads_);
  resolve_->SetRemoteTarget({[this] { return state_.remote; }, [this] { ShowRemoteSettings(); },
                             [downloads](const RemoteSettings& remote, ShareOrder order,
                                         ResolveTab::RemoteTarget::Done done) {
                               if (downloads)
                                 downloads->SendToRemote(remote, std::move(order), std::move(done));
                             },
                             [downloads] { return downloads && downloads->following(); }});
  unfinished_->SetStartDownloads(
      [this](const std::vector<UnfinishedDownload>& rows) { return RestartRemembered(rows); });

  QStatusBar* bar = statusBar();
  bar->setObjectName(QStringLiteral("状态条1"));
  bar->setFixedHeight(20);
  bar->setSizeGripEnabled(false);
  auto* part0 = new QLabel(QStringLiteral("状态："), bar);
  part0->setObjectName(QStringLiteral("状态条1_0"));
  part0->setFixedWidth(35);
  status_ = new QLabel(bar);
  status_->setObjectName(QStringLiteral("状态条1_1"));
  bar->addWidget(part0);
  bar->addWidget(status_, 1);
  // Shown once a file finished; it stays while other messages come and go.
  bar->addPermanentWidget(downloads_->finishedCount());
  // The fixed layout leaves no room for a menu bar; the About box and the remote downloader's
  // settings hang off the status bar.
  statusMenu_ = new QMenu(this);
  statusMenu_->setObjectName(QStringLiteral("状态条菜单"));
  QAction* remote = statusMenu_->addAction(QStringLiteral("远程下载器设置…"));
  remote->setObjectName(QStringLiteral("远程下载器设置"));
  connect(remote, &QAction::triggered, this, [this] { ShowRemoteSettings(); });
  QAction* about = statusMenu_->addAction(QStringLiteral("关于 ShareFetch"));
  about->setObjectName(QStringLiteral("关于 ShareFetch"));
  connect(about, &QAction::triggered, this, [this] { ShowAbout(this); });
  bar->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(bar, &QWidget::customContextMenuRequested, this, &MainWindow::ShowStatusMenu);
  AddSettingsButton();
  DecorateDownloads();

  SetUp();
  setWindowIcon(QIcon(ProgramIcon()));
}

// A right click on the status bar is found by few; the same menu hangs off a button at its end.
void MainWindow::AddSettingsButton() {
  auto* button = new QToolButton(statusBar());
  button->setObjectName(QStringLiteral("设置按钮"));
  button->setIcon(style()->standardIcon(QStyle::SP_FileDialogDetailedView));
  button->setToolTip(QStringLiteral("设置与关于"));
  button->setAutoRaise(true);
  button->setFixedSize(18, 18);
  button->setFocusPolicy(Qt::NoFocus);
  button->setPopupMode(QToolButton::InstantPopup);
  button->setMenu(statusMenu_);
  statusBar()->addPermanentWidget(button);
}

// The download list's progress cells draw their bar, and the menu keys open its menu.
void MainWindow::DecorateDownloads() {
  QTreeView* list = downloads_->list();
  list->setItemDelegateForColumn(kColumnProgress, new ProgressDelegate(list));
  OnMenuKey(list, [list](const QPoint& at) { emit list->customContextMenuRequested(at); });
}

QString MainWindow::StartDirectory() const {
  QString start = QString::fromStdString(state_.saveDirectory);
  if (start.isEmpty())
    start = QString::fromStdString(state_.programDirectory) + QStringLiteral("/下载内容");
  return start;
}

// The limit and the directory of the last run, as the user left them.
void MainWindow::RestoreDownloadSettings(const DownloadSettings& kept) {
  if (!kept.saveDirectory.empty())
    downloads_->saveDirectory()->setText(FromGbk(kept.saveDirectory));
  downloads_->RestoreSpeedLimit(kept.speedLimit, kept.speedLimitOn);
}

std::vector<UnfinishedTab::Taken> MainWindow::RestartRemembered(
    const std::vector<UnfinishedDownload>& rows) {
  using Taken = UnfinishedTab::Taken;
  if (!downloads_->downloads()) {
    // Nothing starts without the engine: the user is told once, not once a row, and no more
    // rows are offered.
    if (!rows.empty()) downloads_->StartDownload({});
    return {};
  }
  std::vector<Taken> taken(rows.size(), Taken::kNo);
  // A batch of many rows is shown on the download list once, when all of it is queued.
  downloads_->StartTogether([&] {
    // A share's file asks its share for a fresh link when the remembered one is refused.
    std::vector<bool> shared = resolve_->RestartShareFiles(rows);
    for (size_t i = 0; i < rows.size(); ++i) {
      if (shared[i]) continue;
      DownloadRequest request;
      request.name = rows[i].fileName;
      request.address = rows[i].address;
      // Into its own directory, where its bytes are; the one in the box may have changed since.
      request.directory = rows[i].saveDirectory;
      request.expectedSize = rows[i].expectedSize;
      downloads_->StartDownload(request);
    }
    // A file the share's plan could not place, or one found whole, has no item that holds it;
    // nor has yet one of a share planned aside, whose items come in batches.
    for (size_t i = 0; i < rows.size(); ++i)
      taken[i] = downloads_->queue()->Listed(rows[i].saveDirectory, rows[i].fileName) != 0
                     ? Taken::kListed
                     : (shared[i] ? Taken::kPlanned : Taken::kNo);
  });
  return taken;
}

std::vector<const UnfinishedDownload*> MainWindow::ToRemember(
    std::vector<UnfinishedDownload>& listed) const {
  listed = downloads_->Unfinished();
  std::vector<const UnfinishedDownload*> keep;
  const std::vector<const UnfinishedDownload*> remembered = unfinished_->NotListed();
  keep.reserve(listed.size() + remembered.size());
  for (const UnfinishedDownload& row : listed) keep.push_back(&row);
  // All of them held by the list, as after 全部继续 of files of their own: nothing to look up.
  if (remembered.empty()) return keep;
  // The queue finds a listed file by its place without a string made for each of its items;
  // the disk is asked only about the rows it does not hold.
  const DownloadQueue* queue = downloads_->queue();
  std::vector<const UnfinishedDownload*> unlisted;
  for (const UnfinishedDownload* row : remembered)
    if (queue == nullptr || queue->Listed(row->saveDirectory, row->fileName) == 0)
      unlisted.push_back(row);
  const std::vector<char> whole = WholeOnDisk(unlisted);
  for (size_t i = 0; i < unlisted.size(); ++i)
    if (!whole[i]) keep.push_back(unlisted[i]);
  return keep;
}

bool MainWindow::AskToStopDownloads(QWidget* parent, int downloads) {
  QMessageBox box(QMessageBox::Question, QStringLiteral("ShareFetch"),
                  QStringLiteral("还有 %1 个文件正在下载或等待下载。\n"
                                 "退出将停止下载，它们会留在“未完成的下载”中，\n"
                                 "下次启动后可以继续。")
                      .arg(downloads),
                  QMessageBox::NoButton, parent);
  box.setObjectName(QStringLiteral("退出确认"));
  QPushButton* stop = box.addButton(QStringLiteral("停止下载并退出"), QMessageBox::AcceptRole);
  QPushButton* stay = box.addButton(QStringLiteral("不退出"), QMessageBox::RejectRole);
  box.setDefaultButton(stay);
  box.setEscapeButton(stay);
  box.exec();
  return box.clickedButton() == stop;
}

void MainWindow::ShowStatusMenu(const QPoint& at) {
  statusMenu_->popup(statusBar()->mapToGlobal(at));
}

RemoteDialog* MainWindow::ShowRemoteSettings() {
  auto* dialog = new RemoteDialog(state_.remote, this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QDialog::accepted, this, [this, dialog] {
    state_.remote = dialog->settings();
    if (!SaveRemoteSettings(state_.settings, state_.remote))
      QMessageBox::warning(this, QStringLiteral("远程下载器设置"),
                           QStringLiteral("设置未能写入设置文件，只在本次运行中有效。"));
  });
  dialog->open();
  return dialog;
}

// A text longer than the fixed window shows whole in the tooltip.
void MainWindow::ShowStatus(const std::string& text) {
  status_->setText(FromGbk(text));
  status_->setToolTip(status_->text());
}

// The order matters: the engine runs before anything can start a download, and the save
// directory never comes from the unfinished list's section of the file: only the one the user
// chose in the last run, kept in the download settings, replaces the start directory.
void MainWindow::SetUp() {
  AttachSkin();
  downloads_->StartEngine();
  resolve_->SetShareTarget(downloads_->downloads(), [this] { return downloads_->SaveDirectory(); });
  if (!state_.engine) {
    // Shown once the window is up; resolving still works without the engine.
    QString why = QString::fromStdString(state_.engineError);
    QTimer::singleShot(0, this, [this, why] {
      QMessageBox::critical(this, QStringLiteral("ShareFetch"),
                            QStringLiteral("下载引擎未能加载，暂时无法下载文件。\n\n") + why);
    });
  }
  // Read once, keeping only what the window uses, however large the file.
  std::string file = SettingsFileToRead(state_.settings);
  LoadedSettings loaded = LoadSettings(file);
  if (!loaded.whole)
    std::cerr << "sharefetch: " << file
              << " holds what this version does not read; it will be left as it is\n";
  unfinished_->SetRows(std::move(loaded.unfinished));
  state_.remote = loaded.remote;
  downloads_->saveDirectory()->setText(StartDirectory());
  RestoreDownloadSettings(loaded.download);
  ShowStatus(ToGbk(QStringLiteral("可爱是世界上最强大的形容词~")));
}

void MainWindow::AttachSkin() {
  app::AttachSkin(state_.skin);
}

// Nothing unfinished is forgotten: the listed downloads, and the remembered ones the list does
// not hold, whether or not any of their bytes are on disk yet, until their file is whole.
void MainWindow::closeEvent(QCloseEvent* event) {
  int running = 0;
  if (const DownloadQueue* queue = downloads_->queue())
    for (const DownloadItem& item : queue->Items())
      running += !item.Ended() && item.status != DownloadStatus::kPaused ? 1 : 0;
  if (running > 0 &&
      !(confirmClose_ ? confirmClose_(this, running) : AskToStopDownloads(this, running))) {
    event->ignore();
    return;
  }
  // A parse waiting on a slow or dead server is given up, so the program ends at once.
  resolve_->StopWork();
  quick_->StopWork();
  // The downloads handed over go on over there; only the following ends.
  downloads_->StopFollowing();
  std::vector<UnfinishedDownload> listed;
  const std::vector<const UnfinishedDownload*> keep = ToRemember(listed);
  DownloadSettings settings{downloads_->SpeedLimitInEffect(), downloads_->limitBox()->isChecked(),
                            downloads_->SaveDirectory()};
  if (!SaveOnClose(state_.settings, keep, downloads_->SaveDirectory(), settings,
                   ToGbk(StartDirectory()))) {
    std::string file = SettingsFileToRead(state_.settings);
    if (!file.empty() && !LoadSettings(file).whole)
      std::cerr << "sharefetch: " << file
                << " holds what this version does not read; it was left as it was, and the "
                   "unfinished downloads and settings of this run were not saved\n";
    else
      std::cerr << "sharefetch: the unfinished downloads could not be saved to "
                << state_.settings.beside << " nor to " << state_.settings.user << "\n";
  }
  event->accept();
}

}  // namespace sf::app
