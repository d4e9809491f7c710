#include "sim/sim_services.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "alarm/alarm_delay.h"
#include "sandbox/sandbox_files.h"
#include "sim/test_sandbox.h"

namespace {

constexpr int kPatienceMs = 5000;

// Reports a player start as the stand-in does; the connection, to be closed at its end.
UniqueFd report_start(const std::string& root, const PlayerStart& start, std::string* reply) {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s%s", root.c_str(), SANDBOX_PLAYER_SOCKET);
  EXPECT_EQ(connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  std::string line = format_player_start(start);
  EXPECT_EQ(write(fd.get(), line.data(), line.size()), static_cast<ssize_t>(line.size()));
  char buf[64] = {};
  pollfd p = {fd.get(), POLLIN, 0};
  if (poll(&p, 1, kPatienceMs) == 1) {
    ssize_t n = read(fd.get(), buf, sizeof buf - 1);
    if (n > 0) reply->assign(buf, static_cast<size_t>(n));
  }
  return fd;
}

template <typename Done>
bool eventually(Done done) {
  for (int waited = 0; waited < kPatienceMs; waited += 5) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

}  // namespace

TEST(SimServices, ARingStartsWithTheFirstPlayerOfEachController) {
  TestSandbox sb;
  RunClock clock(sb.clock().now_us(), 1.0);
  Timeline timeline(clock);
  SimServicesConfig config;
  config.root = sb.root();
  config.play_seconds = 2.5;
  SimServices services(config, clock, timeline);
  std::string error;
  ASSERT_TRUE(services.start(&error)) << error;

  PlayerStart start;
  start.args = "/res/sounds/default_ring.mp3";
  std::string reply;
  std::vector<UniqueFd> players;
  // Controller 100 plays the file twice (one ring), controller 200 once (a second ring).
  for (auto [pid, controller, at_s] :
       {std::tuple{101L, 100L, 21}, {102L, 100L, 51}, {201L, 200L, 81}}) {
    start.pid = pid;
    start.parent_pid = controller;
    start.at_us = clock.start_us() + at_s * 1000000LL;
    players.push_back(report_start(sb.root(), start, &reply));
    EXPECT_EQ(reply, "play 2500\n");
  }
  ASSERT_TRUE(eventually([&] { return services.ring_starts().size() == 2; }));
  std::vector<SimRingStart> rings = services.take_ring_starts();
  ASSERT_EQ(rings.size(), 2u);
  EXPECT_DOUBLE_EQ(rings[0].at, 21);
  EXPECT_EQ(rings[0].controller, 100);
  EXPECT_DOUBLE_EQ(rings[1].at, 81);
  EXPECT_TRUE(services.take_ring_starts().empty());
  players.clear();  // the players end
  services.stop();
  EXPECT_EQ(services.player_runs(), 3);
  int starts = 0, stops = 0, ring_lines = 0;
  for (const SimTimelineEntry& e : timeline.sorted()) {
    starts += e.word == "player-start";
    stops += e.word == "player-stop";
    ring_lines += e.word == "ring";
  }
  EXPECT_EQ(starts, 3);
  EXPECT_EQ(stops, 3);
  EXPECT_EQ(ring_lines, 2);
}

TEST(SimServices, EverySnoozeNoteThatTheProgramWritesIsKept) {
  TestSandbox sb;
  RunClock clock(sb.clock().now_us(), 1.0);
  Timeline timeline(clock);
  SimServicesConfig config;
  config.root = sb.root();
  SimServices services(config, clock, timeline);
  std::string error;
  ASSERT_TRUE(services.start(&error)) << error;
  // As the program writes it: a new file renamed over the note, padded with zero bytes.
  std::string note(ALARM_DELAY_FILE_SIZE, '\0');
  note.replace(0, 16, "5\n1796796083000\n");
  std::string temp = sb.path("/data/data/com.android.deskclock/files/.alarm_delay.1");
  write_file(temp, note);
  ASSERT_EQ(rename(temp.c_str(), sb.path(ALARM_DELAY_PATH).c_str()), 0);
  ASSERT_TRUE(eventually([&] { return services.snooze_notes().size() == 1; }));
  services.stop();
  SimSnoozeNote got = services.snooze_notes()[0];
  EXPECT_EQ(got.alarm_id, 5);
  EXPECT_EQ(got.snooze_end, 1796796083);
  EXPECT_GE(got.written_at, clock.epoch_seconds_at(0));

  int id = 0;
  int64_t end = 0;
  for (const char* bad : {"", "5\n", "x\n1796796083000\n", "5\n000\n", "5\n17967960x3000\n"}) {
    EXPECT_FALSE(parse_snooze_note(bad, &id, &end)) << bad;
  }
}
