// The store-and-forward queue over real SQLite files.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "loggers/upload_queue.h"
#include "support/temp_dir.h"

namespace geomuxer {
namespace {

std::vector<FormField> form(int n) { return {{"user", "me"}, {"datetime", std::to_string(n)}}; }

std::vector<std::string> drain(UploadQueue& queue) {
  std::vector<std::string> out;
  while (auto post = queue.front()) {
    out.push_back(post->fields.at(1).second);
    queue.remove(post->id);
  }
  return out;
}

TEST(UploadQueue, FormsSurviveEncodingWhateverTheyHold) {
  const std::vector<FormField> odd{{"user", "a&b=c%d"}, {"", ""}, {"x", "line\nbreak\t\x01"}, {"ü", "ß €"}};
  EXPECT_EQ(decodeForm(encodeForm(odd)), odd);
  EXPECT_EQ(encodeForm({{"a", "1"}, {"b", "&"}}), "a=1&b=%26");
  // Text that no encoder wrote is read as well as it goes, never past its end.
  EXPECT_EQ(decodeForm("a=%2"), (std::vector<FormField>{{"a", "%2"}}));
  EXPECT_EQ(decodeForm("a"), (std::vector<FormField>{{"a", ""}}));
}

TEST(UploadQueue, OldestFirstAndKeptAcrossReopening) {
  test::TempDir dir;
  {
    UploadQueue queue(dir / "queue.db");
    EXPECT_TRUE(queue.empty());
    for (int i = 0; i < 5; ++i) EXPECT_EQ(queue.push(form(i)), 0);
    EXPECT_EQ(queue.size(), 5);
    const auto first = queue.front();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->fields, form(0));
    queue.remove(first->id);
    queue.remove(first->id);  // twice: nothing more goes
    EXPECT_EQ(queue.size(), 4);
  }
  UploadQueue again(dir / "queue.db");
  EXPECT_EQ(again.size(), 4);
  again.push(form(5));
  EXPECT_EQ(drain(again), (std::vector<std::string>{"1", "2", "3", "4", "5"}));
}

TEST(UploadQueue, FullQueueDropsTheOldest) {
  UploadQueue queue({}, 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(queue.push(form(i)), 0);
  EXPECT_EQ(queue.push(form(3)), 1);
  EXPECT_EQ(queue.size(), 3);
  queue.setCapacity(1);  // smaller: takes effect at the next push
  EXPECT_EQ(queue.push(form(4)), 3);
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"4"}));
}

TEST(UploadQueue, ASecondProgramCannotShareTheFile) {
  test::TempDir dir;
  UploadQueue first(dir / "queue.db");
  first.push(form(1));
  try {
    UploadQueue second(dir / "queue.db");
    FAIL() << "opened twice";
  } catch (const UploadQueueError& e) {
    EXPECT_NE(std::string(e.what()).find("queue.db"), std::string::npos) << e.what();
  }
  EXPECT_EQ(first.size(), 1);
}

TEST(UploadQueue, AFolderThatCannotHoldTheFileIsAnError) {
  test::TempDir dir;
  EXPECT_THROW(UploadQueue(dir / "missing" / "queue.db"), UploadQueueError);
}

// A process killed right after its pushes returned: every one of them is in the file.
TEST(UploadQueue, KilledProcessLosesNothingPushed) {
  test::TempDir dir;
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipeFds[0]);
    UploadQueue queue(dir / "queue.db");
    for (int i = 0; i < 500; ++i) queue.push(form(i));
    const char done = 'x';
    (void)!::write(pipeFds[1], &done, 1);
    for (;;) ::pause();
  }
  ::close(pipeFds[1]);
  char done = 0;
  ASSERT_EQ(::read(pipeFds[0], &done, 1), 1);
  ::close(pipeFds[0]);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  UploadQueue queue(dir / "queue.db");
  EXPECT_EQ(queue.size(), 500);
  const std::vector<std::string> order = drain(queue);
  ASSERT_EQ(order.size(), 500u);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], std::to_string(i));
}

}  // namespace
}  // namespace geomuxer
