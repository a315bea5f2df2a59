// The first tab's result list on shares of thousands of files: it fills while the parse runs, a
// parse can be stopped with what it found kept, all of it goes to the downloads at once, and
// the name column's title counts what it names.
#include <QAction>
#include <QCollator>
#include <QItemSelectionModel>
#include <QPersistentModelIndex>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTreeView>
#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "app/controls.h"
#include "app/downloads_tab.h"
#include "app/resolve_tab.h"
#include "app/result_model.h"
#include "download/download_queue.h"
#include "gui_test_support.h"
#include "recording_engine.h"

using namespace sf::test;

namespace {

// 10 folders of 30 files, each with 10 subfolders of 30 files: 3 300 files in 110 folders.
constexpr int kManyFiles = 3300;
constexpr int kManyFolders = 110;
const QString kNoLink = QStringLiteral("用户主动放弃解析或解析失败");

}  // namespace

class ResultListTest : public WindowSuite {
  Q_OBJECT

 public:
  ResultListTest()
      : WindowSuite(R"({"shares": [
      {"id": "many", "items": [{"tree": {"depth": 2, "folders": 10, "files": 30,
        "name": "dir-{i}", "fileName": "file-{i}.bin", "size": 64}}]},
      {"id": "mixed", "items": [{"name": "c.txt", "size": 3}, {"name": "a.txt", "size": 1},
        {"name": "夹", "children": [{"name": "in.bin", "size": 4}]}, {"name": "b.txt", "size": 2}]}
    ]})") {}

 private:
  QPushButton* StopButton() { return Find<QPushButton>(window_->resolveTab(), "按钮_停止"); }

 private slots:
  // Rows show while links are still being asked; 停止 ends the parse with the rows found, each
  // file without a link marked so, and the next parse runs whole.
  void aRunningParseShowsItsRowsAndStops() {
    QVERIFY(!StopButton()->isEnabled());
    sim_.SetLinkDelay(20);  // the link requests outlast the look at the list
    StartParse("many");
    QTRY_VERIFY_WITH_TIMEOUT(RowCount(Results()) > 0, 20000);
    QVERIFY(window_->resolveTab()->parsing());
    QVERIFY(!ParseButton()->isEnabled());
    QVERIFY(StopButton()->isEnabled());
    QTRY_VERIFY(Status().startsWith(QStringLiteral("正在解析：已找到")));
    // Sorted while rows still come: those that come later take their places too.
    Results()->sortByColumn(0, Qt::DescendingOrder);
    QTest::mouseClick(StopButton(), Qt::LeftButton);
    WaitForParseEnd();
    sim_.SetLinkDelay(0);
    QVERIFY(!StopButton()->isEnabled());

    static const QRegularExpression said(QStringLiteral(
        "^解析已停止：已找到(\\d+)个文件，(\\d+)个文件夹，(\\d+)个文件未取得下载地址$"));
    QRegularExpressionMatch m = said.match(Status());
    QVERIFY2(m.hasMatch(), qPrintable(Status()));
    const int files = m.captured(1).toInt(), folders = m.captured(2).toInt();
    const int unlinked = m.captured(3).toInt();
    QCOMPARE(RowCount(Results()), files + folders);
    for (int row = 0; row < RowCount(Results()); ++row)
      QCOMPARE(RowText(Results(), row, 0), QString::number(RowCount(Results()) - row));
    QVERIFY(files <= kManyFiles && folders <= kManyFolders);
    QVERIFY(unlinked > 0);
    // The rows say what the status bar counts: files with a link, files without, folders.
    int linked = 0, marked = 0, folderRows = 0;
    for (int row = 0; row < RowCount(Results()); ++row) {
      const QString link = RowText(Results(), row, 3);
      if (link.startsWith(QString::fromStdString(sim_.Url("/file/"))))
        ++linked;
      else if (link == kNoLink)
        ++marked;
      else if (link.isEmpty() && RowText(Results(), row, 2).isEmpty())
        ++folderRows;
      QVERIFY(!RowText(Results(), row, 1).isEmpty());
    }
    QCOMPARE(marked, unlinked);
    QCOMPARE(linked, files - unlinked);
    QCOMPARE(folderRows, folders);

    // The cancel that stopped it is not the next parse's.
    StartParse("mixed");
    WaitForParseEnd();
    QCOMPARE(Status(), QStringLiteral("解析结果：成功"));
    QCOMPARE(RowCount(Results()), 5);
  }

  // 全部下载 on thousands of rows returns at once, and every file of the share is queued once
  // its plan, made aside, has come in.
  void allOfALargeShareIsQueued() {
    StartParse("many");
    WaitForParseEnd();
    QCOMPARE(Status(), QStringLiteral("解析结果：成功"));
    QCOMPARE(RowCount(Results()), kManyFiles + kManyFolders);
    QCOMPARE(ColumnTitle(Results(), 1), QStringLiteral("文件名 %1个文件").arg(kManyFiles));
    Find<QAction>(window_.get(), "全部下载")->trigger();
    QCOMPARE(Status(), QStringLiteral("正在加入下载：%1个文件……").arg(kManyFiles));
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QStringLiteral("已加入下载：%1个文件").arg(kManyFiles),
                              30000);
    const sf::DownloadQueue* queue = window_->downloadsTab()->queue();
    QVERIFY(queue);
    QCOMPARE(queue->Items().size(), size_t{kManyFiles});
  }

  // The title counts files only; a sort keeps the selection on its rows, and choosing the whole
  // list picks every file, the folder's too.
  void theTitleCountsFilesAndASortKeepsTheSelection() {
    StartParse("mixed");
    WaitForParseEnd();
    QCOMPARE(RowCount(Results()), 5);
    QCOMPARE(ColumnTitle(Results(), 1), QStringLiteral("文件名 4个文件"));

    SetCurrentRow(Results(), 1);  // a.txt
    Results()->sortByColumn(1, Qt::DescendingOrder);
    QStringList names;
    for (int row = 0; row < 5; ++row) names << RowText(Results(), row, 1);
    QCOMPARE(names, QStringList({"夹", "in.bin", "c.txt", "b.txt", "a.txt"}));
    const QModelIndexList selected = Results()->selectionModel()->selectedRows(1);
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.front().data().toString(), QStringLiteral("a.txt"));
    QCOMPARE(RowText(Results(), selected.front().row(), 0), QStringLiteral("2"));

    Results()->selectAll();
    Find<QAction>(window_.get(), "下载所选")->trigger();
    QCOMPARE(Status(), QStringLiteral("已加入下载：4个文件"));
  }

  // Rows that come in batches into a sorted list stand where one sort of them all puts them,
  // equal names in the share's order, and a row held (as the selection holds one) follows its
  // entry.
  void batchesIntoASortedListStandAsOneSort() {
    sf::app::ResultModel model;
    model.sort(1, Qt::AscendingOrder);
    std::vector<sf::FileEntry> all;
    for (int i = 0; i < 300; ++i) {
      sf::FileEntry e;
      e.server_filename = "n-" + std::to_string(i * 7919 % 97);  // equal names among them
      e.size = std::to_string(i * 31 % 50);
      e.isdir = "0";
      all.push_back(e);
    }
    model.Append({all.begin(), all.begin() + 100});
    QPersistentModelIndex held = model.index(0, 1);
    const QString heldName = held.data().toString();
    const qlonglong heldNumber = model.index(held.row(), 0).data(sf::app::kSortRole).toLongLong();
    model.Append({all.begin() + 100, all.begin() + 180});
    model.Append({all.begin() + 180, all.end()});

    auto expected = [&](auto less) {
      std::vector<size_t> order(all.size());
      std::iota(order.begin(), order.end(), size_t{0});
      std::stable_sort(order.begin(), order.end(), less);
      QStringList numbers;
      for (size_t i : order) numbers << QString::number(i + 1);
      return numbers;
    };
    auto shown = [&] {
      QStringList numbers;
      for (int row = 0; row < model.rowCount(); ++row)
        numbers << model.index(row, 0).data().toString();
      return numbers;
    };
    QCollator collator;
    QCOMPARE(shown(), expected([&](size_t a, size_t b) {
               return collator.compare(QString::fromStdString(all[a].server_filename),
                                       QString::fromStdString(all[b].server_filename)) < 0;
             }));
    QCOMPARE(held.data().toString(), heldName);
    QCOMPARE(model.index(held.row(), 0).data(sf::app::kSortRole).toLongLong(), heldNumber);

    model.sort(2, Qt::DescendingOrder);
    QCOMPARE(shown(), expected([&](size_t a, size_t b) {
               return std::stoll(all[b].size) < std::stoll(all[a].size);
             }));
    model.sort(-1);
    QCOMPARE(model.index(0, 0).data().toString(), QStringLiteral("1"));
    QCOMPARE(model.index(299, 1).data().toString(),
             QString::fromStdString(all[299].server_filename));
  }
};

QTEST_MAIN(ResultListTest)
#include "result_list_test.moc"
