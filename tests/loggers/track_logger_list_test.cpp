#include <gtest/gtest.h>

#include <QSignalSpy>

#include <stdexcept>
#include <string>
#include <vector>

#include "loggers/track_logger_list.h"

namespace geomuxer {
namespace {

class NamedLogger : public TrackLogger {
 public:
  NamedLogger(std::string name, std::vector<std::string>& journal) : m_name(std::move(name)), m_journal(journal) {}
  void addPosition(const PositionInfo&) override { record("position"); }
  void start() override { record("start"); }
  void stop() override { record("stop"); }
  bool fail = false;

 private:
  void record(const char* what) {
    if (fail) throw std::runtime_error(m_name + " cannot " + what);
    m_journal.push_back(m_name + " " + what);
  }
  std::string m_name;
  std::vector<std::string>& m_journal;
};

TEST(TrackLoggerList, FansOutInRegistrationOrderRegardlessOfActiveFlags) {
  std::vector<std::string> journal;
  NamedLogger first("first", journal);
  NamedLogger second("second", journal);
  TrackLoggerList list;
  EXPECT_EQ(list.add(&first), 0);
  EXPECT_EQ(list.add(&second), 1);
  EXPECT_EQ(list.add(&first), -1) << "already registered";
  EXPECT_EQ(list.add(nullptr), -1);
  ASSERT_EQ(list.count(), 2);
  EXPECT_EQ(list.item(1), &second);

  // Neither the list's nor the loggers' active flags are looked at: each logger decides itself.
  list.setActive(false);
  list.start();
  list.addPosition(PositionInfo{});
  list.stop();
  EXPECT_EQ(journal, (std::vector<std::string>{"first start", "second start", "first position",
                                               "second position", "first stop", "second stop"}));
}

TEST(TrackLoggerList, EmptyListAcceptsEveryCall) {
  TrackLoggerList list;
  list.start();
  list.addPosition(PositionInfo{});
  list.stop();
  EXPECT_EQ(list.count(), 0);
}

TEST(TrackLoggerList, FailingLoggerIsReportedAndDoesNotStopTheOthers) {
  std::vector<std::string> journal;
  NamedLogger broken("broken", journal);
  NamedLogger healthy("healthy", journal);
  TrackLoggerList list;
  list.add(&broken);
  list.add(&healthy);
  QSignalSpy errors(&list, &TrackLoggerList::errorOccurred);
  broken.fail = true;
  list.start();
  list.addPosition(PositionInfo{});
  EXPECT_EQ(journal, (std::vector<std::string>{"healthy start", "healthy position"}));
  ASSERT_EQ(errors.count(), 2);
  EXPECT_EQ(errors.at(1).at(0).toString(), "broken cannot position");
}

}  // namespace
}  // namespace geomuxer
