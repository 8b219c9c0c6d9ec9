// Calls from several threads at once: eight threads share one DAG instance
// and each adds nodes, generates and fetches statements, shows queries,
// marks nodes executed, inspects nodes, provokes failures and reads their
// messages. Each thread's work touches only its own nodes and nodes that
// nobody changes, so whatever the interleaving it must see exactly what it
// sees when the threads run one after another. Built for ThreadSanitizer in
// CI, which also reports any access to the library's state outside its lock.
#include <algorithm>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "assemblySupport.h"
#include "opsSupport.h"

namespace {

using dfqtest::CStrings;
using opstest::Outcome;

constexpr int kThreads = 8;
constexpr int kSteps = 120;

// Nodes every thread reads and nobody changes: a base table, a filter and
// an assign on it, marked executed before the threads start.
struct Shared {
  std::vector<std::string> ids;
};

// One thread's view of its work: every result, with node ids replaced by
// the step that created them, so runs with different ids compare equal.
class Script {
 public:
  Script(int thread, const Shared &shared) : thread_(thread), rng_(1000 + thread) {
    for (size_t k = 0; k < shared.ids.size(); ++k) name(shared.ids[k], "S" + std::to_string(k));
    inputs_ = shared.ids;
  }

  std::vector<std::string> run() {
    for (int step = 0; step < kSteps; ++step) {
      step_ = step;
      switch (own_.empty() ? 0 : pick(10)) {  // a node of its own first
        case 0: case 1: case 2: addSingleInput(); break;
        case 3: addJoinOrSetop(); break;
        case 4: case 5: statements(); break;
        case 6: showFullPath(); break;
        case 7: markExecuted(); break;
        case 8: inspect(); break;
        default: failures();
      }
    }
    return transcript_;
  }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  const std::string &anyInput() { return inputs_[pick(inputs_.size())]; }
  const std::string &ownNode() { return own_.empty() ? anyInput() : own_[pick(own_.size())]; }
  std::string table() { return "w" + std::to_string(thread_) + "_" + std::to_string(step_); }

  void name(const std::string &id, const std::string &label) { labels_[id] = label; }
  std::string label(const std::string &id) const {
    const auto it = labels_.find(id);
    return it == labels_.end() ? "?" + id : it->second;
  }
  void note(const std::string &what) { transcript_.push_back(std::to_string(step_) + " " + what); }

  // Every id of the thread's graph in `text` replaced by its label.
  std::string relabel(std::string text) const {
    for (const auto &[id, lbl] : labels_) {
      for (size_t at = text.find(id); at != std::string::npos; at = text.find(id, at + lbl.size())) {
        text.replace(at, id.size(), lbl);
      }
    }
    return text;
  }

  void added(const char *what, const Outcome &o) {
    note(std::string(what) + " rc=" + std::to_string(o.rc) + " " + o.message);
    if (!o.ok()) return;
    name(o.id, "N" + std::to_string(step_));
    own_.push_back(o.id);
    inputs_.push_back(o.id);
  }

  void addSingleInput() {
    const std::string in = anyInput();
    switch (pick(4)) {
      case 0:
        added("filter", opstest::callEntry(dfq_filter, {in}, {"f"},
                                           {"a > " + std::to_string(step_)}, table(), "s"));
        break;
      case 1:
        added("assign", opstest::callEntry(dfq_assign, {in}, {"a"},
                                           {"a * 2 as b" + std::to_string(step_), "N"}, table(),
                                           "s"));
        break;
      case 2: added("select", opstest::select(in, "cols", {"a, b"}, 1, table(), "s")); break;
      default: {
        CStrings gin{in}, gname{"g"}, value{"|by a"}, ot{"-"}, os{"-"};
        CStrings out = CStrings::buffers(1);
        int rc = -1;
        dfq_groupby(gin, gname, value, ot, os, out, &rc);
        if (rc != 0) return added("groupby", opstest::outcome(rc, ""));
        name(out[0], "G" + std::to_string(step_));
        added("aggregate", opstest::callEntry(dfq_aggregate, {out[0]}, {"agg"},
                                              {"sum(a) as total"}, table(), "s"));
      }
    }
  }

  // A join or set operation of one of the thread's nodes with a shared one,
  // so statements stay small however long the thread runs.
  void addJoinOrSetop() {
    const std::string mine = ownNode(), other = inputs_[pick(3)];
    if (pick(2) == 0) {
      added("join", opstest::callEntry(dfq_join, {mine, other}, {"inner", "c", "l", "r"},
                                       {"l.a = r.a", "l", "r", "l.a"}, table(), "s"));
    } else {
      added("setop", opstest::setop("union", {mine, other}, {"a", "a"}, table()));
    }
  }

  void statements() {
    const std::string id = ownNode();
    const auto got = asmtest::hostStatements(id);
    std::string text = "statements " + label(id) + " rc=" + std::to_string(got.rc);
    for (const auto &s : got.list)
      text += "\n  " + s.name + " | " + s.queryType + " | " + label(s.nodeid) + " | " + s.query;
    note(relabel(text));
  }

  void showFullPath() {
    const std::string id = ownNode();
    CStrings in{id};
    int count = 0, rc = -1, option = 2;
    dfq_gen_full_dagpath(in, &count, &rc);
    std::string text = "full path " + label(id) + " rc=" + std::to_string(rc);
    if (rc == 0 && count > 0) {
      std::vector<int> lengths(static_cast<size_t>(count) + 1, 0);
      dfq_show_query_length(in, &option, lengths.data(), &rc);
      size_t room = 1;
      for (int length : lengths) room = std::max(room, static_cast<size_t>(length));
      auto queries = CStrings::buffers(lengths.size(), room), ids = CStrings::buffers(lengths.size());
      if (rc == 0) dfq_show_query(in, &option, queries, ids, &rc);
      text += " rc=" + std::to_string(rc);
      for (int k = 0; rc == 0 && k < count; ++k) text += "\n  " + label(ids[k]) + " | " + queries[k];
    }
    note(relabel(text));
  }

  // The path form after generating, or the single form; both only reach
  // the thread's own nodes because the shared ones are executed.
  void markExecuted() {
    const std::string id = ownNode();
    CStrings in{id};
    int state = 1, count = 0, rc = -1;
    if (pick(2) == 0) {
      int queries = 0;
      dfq_gen_exec_queries(in, &queries, &rc);
      if (rc == 0) dfq_update_node_state(in, &state, &count, &rc);
    } else {
      dfq_update_node_state_single(in, &state, &rc);
      count = 1;
    }
    int executed = -1, rc2 = -1;
    dfq_is_node_executed(in, &executed, &rc2);
    note("executed " + label(id) + " rc=" + std::to_string(rc) + " count=" + std::to_string(count) +
         " now=" + std::to_string(executed));
  }

  void inspect() {
    const std::string id = anyInput();
    CStrings in{id}, ot{"-"}, os{"-"}, type{"-"}, group{"-"};
    int rc[5] = {-1, -1, -1, -1, -1}, parents = -1, level = -1;
    dfq_get_tablename(in, ot, os, &rc[0]);
    dfq_get_node_query_type(in, type, &rc[1]);
    dfq_get_node_groupby_expr(in, group, &rc[2]);
    dfq_get_parent_nodes_count(in, &parents, &rc[3]);
    auto parentIds = CStrings::buffers(static_cast<size_t>(std::max(parents, 1)));
    if (parents > 0) dfq_get_parent_nodeids(in, parentIds, &rc[4]);
    get_log_level(&level, &rc[0]);
    std::string text = "inspect " + label(id) + " " + ot[0] + "." + os[0] + " " + type[0] + " [" +
                       group[0] + "] level " + std::to_string(level);
    for (int k = 0; k < parents; ++k) text += " <" + label(parentIds[static_cast<size_t>(k)]);
    for (int code : rc) text += " " + std::to_string(code);
    note(text);
  }

  // Failures whose messages every thread records alike, so a message read
  // back is right whichever thread recorded it last.
  void failures() {
    const Outcome badId = opstest::callEntry(dfq_filter, {"0"}, {"f"}, {"a > 1"}, table());
    CStrings in{ownNode()}, name{"a"}, value{"a + 1 as b", ""}, ot{table()}, os{"s"};
    CStrings out = CStrings::buffers(1);
    value.setNull(1);
    int rc = -1;
    dfq_assign(in, name, value, ot, os, out, &rc);
    note("failures " + std::to_string(badId.rc) + " " + badId.message + " / " + std::to_string(rc) +
         " " + dfqtest::errorMessage(rc));
  }

  int thread_;
  int step_ = 0;
  std::mt19937 rng_;
  std::map<std::string, std::string> labels_;
  std::vector<std::string> inputs_;  // shared nodes first, then the thread's own
  std::vector<std::string> own_;
  std::vector<std::string> transcript_;
};

class ThreadsTest : public dfqtest::DagTest {
 protected:
  Shared shareBase() {
    Shared shared;
    shared.ids.push_back(dfqtest::table("db.sales"));
    shared.ids.push_back(
        opstest::callEntry(dfq_filter, {shared.ids[0]}, {"f"}, {"a > 0"}, "big", "s").id);
    shared.ids.push_back(
        opstest::callEntry(dfq_assign, {shared.ids[1]}, {"a"}, {"a + 1 as b", "N"}, "more", "s")
            .id);
    for (const auto &id : shared.ids) {
      CStrings in{id};
      int state = 1, rc = -1;
      dfq_update_node_state_single(in, &state, &rc);
      EXPECT_EQ(rc, 0);
    }
    return shared;
  }
};

TEST_F(ThreadsTest, EightThreadsSeeWhatTheySeeOneAfterAnother) {
  std::vector<std::vector<std::string>> alone(kThreads), together(kThreads);
  {
    const Shared shared = shareBase();
    for (int t = 0; t < kThreads; ++t) alone[t] = Script(t, shared).run();
  }
  close_dag();
  {
    const Shared shared = shareBase();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] { together[t] = Script(t, shared).run(); });
    for (auto &thread : threads) thread.join();
  }
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(together[t].size(), alone[t].size());
    for (size_t k = 0; k < alone[t].size(); ++k)
      ASSERT_EQ(together[t][k], alone[t][k]) << "thread " << t;
  }
  // The scripts did reach the library: statements, failures, executed nodes.
  const std::string all = [&] {
    std::string text;
    for (const auto &line : alone[0]) text += line + "\n";
    return text;
  }();
  EXPECT_NE(all.find("statements N"), std::string::npos) << all;
  EXPECT_NE(all.find("failures 1304 Invalid input nodeid for filter operation / 1000 "
                     "Null pointer value encountered for argument: arg_value[1]"),
            std::string::npos);
  EXPECT_NE(all.find("now=1"), std::string::npos);
}

// The log entries and the instance entries from many threads: records of
// different threads never interleave, levels set by one thread are read
// whole by the others, and instance creation and closing race safely with
// node creation (a call either finds the instance or creates its own).
TEST_F(ThreadsTest, LogAndInstanceEntriesFromManyThreads) {
  std::FILE *file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  log_set_fp(file);
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        int level = (t + i) % 6, rc = -1;
        if (t == 0 && i % 50 == 49) close_dag();
        set_log_level(&level, &rc);
        EXPECT_EQ(rc, 0);
        EXPECT_GE(log_get_level(), 0);
        EXPECT_LE(log_get_level(), 5);
        const std::string id = dfqtest::table("db.t" + std::to_string(t));
        if (!id.empty()) {
          CStrings in{id};
          int state = 1, rc2 = -1;
          dfq_update_node_state_single(in, &state, &rc2);
          EXPECT_TRUE(rc2 == 0 || rc2 == 1208 || rc2 == 1302) << rc2;  // closed meanwhile
        }
        log_log(LOG_ERROR, "thread", t, "record %d of thread %d", i, t);
      }
    });
  }
  for (auto &thread : threads) thread.join();
  testing::internal::GetCapturedStderr();
  const std::string text = dfqtest::readAll(file);
  log_set_fp(nullptr);
  std::fclose(file);
  // Every line of the file is one whole record.
  size_t records = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.empty()) continue;  // after a message that ends in a newline
    EXPECT_TRUE(line.size() > 20 && line[4] == '-' && line[13] == ':') << line;
    if (line.find(" ERROR thread:") != std::string::npos) {
      ++records;
      EXPECT_NE(line.find(": record "), std::string::npos) << line;
    }
  }
  EXPECT_EQ(records, static_cast<size_t>(kThreads) * 200);
}

}  // namespace
