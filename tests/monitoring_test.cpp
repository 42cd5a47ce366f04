// The shipped dashboard and alerting rules against the real parts: the
// service writes its metrics, node_exporter's textfile collector serves
// them, a Prometheus of the test's own scrapes them every second with the
// rules loaded, and answers every dashboard query and every rule's
// expression through its HTTP API.
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "sandbox.h"
#include "service.h"
#include "world.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Metrics the dashboard and the rules use that the service does not write
// yet: queries naming one need only succeed. Delete a line once the service
// writes the metric; its queries must then answer as the tables say.
const std::set<std::string> kNotWrittenYet = {
    "fifodel_archive_backlog_calls",
    "fifodel_archive_backlog_oldest_start_timestamp_seconds",
    "fifodel_archive_backlog_updated_timestamp_seconds",
};

// Whether each rule's expression returns data in the scenario of the test
// (a pass that covered the shortfall, a stuck call, a call waiting to be
// archived since 2021). Every dashboard query must return data.
const std::map<std::string, bool> kRuleReturnsData = {
    {"FifodelDown", false},
    {"FifodelNotMeasuring", false},
    {"FifodelShortAfterPass", false},
    {"FifodelStuck", true},
    {"FifodelTriggerSoon", false},
    {"FifodelDatabaseUnreachable", false},
    {"FifodelJournalPending", false},
    {"fifodel:archive_backlog_oldest_age_seconds:behind", true},
    {"FifodelArchivingBehind", true},
    {"FifodelArchivingBehindAndShort", false},
};

// Grafana's variables as a dashboard of the last hour would set them.
std::map<std::string, std::string> Variables(const std::string& instance) {
  return {{"instance", instance},
          {"__rate_interval", "1m"},
          {"__interval", "15s"},
          {"__range", "1h"}};
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), n);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  close(fd);
  return ntohs(a.sin_port);
}

std::string UrlEncoded(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    char hex[4];
    snprintf(hex, sizeof hex, "%%%02X", c);
    out += isalnum(c) || strchr("-_.~", c) ? std::string(1, c) : hex;
  }
  return out;
}

// The JSON object of GET `target` on the loopback `port`; empty when there
// is none (not listening yet).
json Get(int port, const std::string& target) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  const std::string request = "GET " + target + " HTTP/1.0\r\n\r\n";
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      write(fd, request.data(), request.size()) ==
          static_cast<ssize_t>(request.size()))
    for (char buf[65536]; ssize_t n = read(fd, buf, sizeof buf);) {
      if (n < 0) break;
      reply.append(buf, n);
    }
  close(fd);
  size_t body = reply.find("\r\n\r\n");
  json j = json::parse(body == std::string::npos ? "" : reply.substr(body + 4),
                       nullptr, false);
  return j.is_object() ? j : json::object();
}

json Query(int port, const std::string& promql) {
  return Get(port, "/api/v1/query?query=" + UrlEncoded(promql));
}
bool HasData(const json& answer) {
  return answer.value("status", "") == "success" &&
         !answer["data"]["result"].empty();
}

// `text` with every $name and ${name} replaced; an unknown one fails.
std::string Substituted(std::string text,
                        const std::map<std::string, std::string>& vars) {
  std::smatch m;
  std::string out;
  while (std::regex_search(text, m, std::regex(R"(\$\{?(\w+)\}?)"))) {
    auto v = vars.find(m[1]);
    EXPECT_NE(vars.end(), v) << "no value for " << m[0];
    out += m.prefix().str() + (v == vars.end() ? "" : v->second);
    text = m.suffix();
  }
  return out + text;
}

// Every value of a key "expr", however deep in `j`.
void Exprs(const json& j, std::vector<std::string>* out) {
  if (j.is_object() && j.contains("expr") && j["expr"].is_string())
    out->push_back(j["expr"]);
  if (j.is_structured())
    for (const json& child : j) Exprs(child, out);
}

// The service's metrics that `promql` names.
std::set<std::string> Names(const std::string& promql) {
  static const std::regex name("fifodel_[a-z_]+");
  std::set<std::string> names;
  for (std::sregex_iterator i(promql.begin(), promql.end(), name), end;
       i != end; ++i)
    names.insert(i->str());
  return names;
}
bool NamesUnwritten(const std::string& promql) {
  for (const std::string& n : Names(promql))
    if (kNotWrittenYet.count(n)) return true;
  return false;
}

class MonitoringTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    for (const char* tool : {"prometheus", "prometheus-node-exporter"})
      if (Sh(std::string("command -v ") + tool + " >/dev/null") != 0)
        GTEST_SKIP() << "no " << tool;
    char dir[] = "/tmp/fifodel-prometheus.XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    dir_ = dir;
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  // node_exporter serving only the metrics directory, and Prometheus
  // scraping it every second with the shipped rules.
  void StartMonitoring(Service* exporter, Service* prometheus) {
    const int exporterPort = FreePort();
    port_ = FreePort();
    exporter->Start(
        "--web.listen-address=127.0.0.1:" + std::to_string(exporterPort) +
        " --collector.disable-defaults --collector.textfile"
        " --collector.textfile.directory=/run/metrics 2>&1");
    instance_ = "127.0.0.1:" + std::to_string(exporterPort);
    std::ofstream(dir_ + "/prometheus.yml")
        << "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
           "rule_files: ['" SOURCE_DIR
           "/dist/fifodel-alerts.yml']\n"
           "scrape_configs:\n"
           "  - job_name: fifodel\n"
           "    static_configs: [{targets: ['" +
               instance_ + "']}]\n";
    prometheus->Start(
        "--config.file=" + dir_ + "/prometheus.yml" +
        " --storage.tsdb.path=" + dir_ + "/data" +
        " --web.listen-address=127.0.0.1:" + std::to_string(port_) + " 2>&1");
  }
  // Every query of the dashboard succeeds and returns data; the instance
  // variable finds the server. Adds the metrics they name to `names`.
  void CheckDashboard(std::set<std::string>* names) {
    json dashboard =
        json::parse(std::ifstream(SOURCE_DIR "/dist/fifodel-dashboard.json"),
                    nullptr, false);
    std::vector<std::string> exprs;
    Exprs(dashboard["panels"], &exprs);
    EXPECT_GE(exprs.size(), 10u);
    for (const std::string& expr : exprs) {
      names->merge(Names(expr));
      const std::string promql = Substituted(expr, Variables(instance_));
      const json answer = Query(port_, promql);
      EXPECT_EQ("success", answer.value("status", "")) << promql << answer;
      EXPECT_TRUE(NamesUnwritten(promql) || HasData(answer)) << promql;
    }
    for (const json& var : dashboard["templating"]["list"]) {
      std::smatch m;
      const std::string def = var.value("definition", "");
      if (!std::regex_match(def, m,
                            std::regex(R"(label_values\((\w+), (\w+)\))")))
        continue;
      const json values = Get(port_, "/api/v1/label/" + m[2].str() +
                                         "/values?match[]=" + m[1].str());
      EXPECT_EQ(json::array({instance_}), values["data"]) << def;
    }
  }
  // Every rule is loaded and evaluates without error, and its expression
  // answers as kRuleReturnsData says. Adds the metrics they name to `names`.
  void CheckRules(std::set<std::string>* names) {
    std::vector<json> rules;
    const json listed = Get(port_, "/api/v1/rules");
    for (const json& g : listed["data"]["groups"])
      rules.insert(rules.end(), g["rules"].begin(), g["rules"].end());
    std::map<std::string, std::string> records;  // name: expression
    for (const json& r : rules)
      if (r["type"] == "recording") records[r["name"]] = r["query"];
    std::set<std::string> seen;
    for (const json& r : rules) {
      const std::string name = r["name"], expr = r["query"];
      seen.insert(name);
      names->merge(Names(expr));
      EXPECT_EQ("ok", r.value("health", "")) << name << r;
      const json answer = Query(port_, expr);
      EXPECT_EQ("success", answer.value("status", "")) << expr << answer;
      bool fUnwritten = NamesUnwritten(expr);
      for (const auto& [record, its] : records)
        fUnwritten |=
            expr.find(record) != std::string::npos && NamesUnwritten(its);
      auto want = kRuleReturnsData.find(name);
      EXPECT_NE(kRuleReturnsData.end(), want) << "no expectation: " << name;
      if (!fUnwritten && want != kRuleReturnsData.end())
        EXPECT_EQ(want->second, HasData(answer)) << name << ": " << expr;
    }
    EXPECT_EQ(kRuleReturnsData.size(), seen.size());
  }
  std::string dir_, instance_;
  int port_ = 0;
};

// A stuck call, two calls reclaimed, one waiting to be archived.
void Scenario(World* w) {
  w->Reset(292);  // trigger level 250 MB
  w->AddCall(1, "2021/03/04/04", 1, kMB, true);
  for (int id = 2; id <= 4; ++id)
    w->AddCall(id, "2021/03/04/05", id % 2 + 1, 30 * kMB, true);
  w->AddCall(5, "2021/03/04/05", 3, kMB, false);
  w->Insert();  // 60 MB short: calls 2 and 3 go
  const char* hour = "/recordings/2021/03/04/04";
  ASSERT_EQ(0, mount(hour, hour, nullptr, MS_BIND, nullptr));
  ASSERT_EQ(0, mount(nullptr, hour, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                     nullptr));
  fs::create_directories("/run/metrics");
}

TEST_F(MonitoringTest, DashboardAndRulesAnswerFromWhatTheServiceWrites) {
  World w;
  Scenario(&w);
  Service exporter("prometheus-node-exporter"), prometheus("prometheus");
  StartMonitoring(&exporter, &prometheus);
  Service svc(FIFODEL_BINARY);
  svc.Start("nofork --metrics-dir /run/metrics", {"FIFODEL_TIME_SCALE=0.1"});
  ASSERT_TRUE(Service::Await(
      [&] {
        return HasData(Query(port_, "fifodel_reclaimed_calls_total > 0")) &&
               HasData(Query(port_, "fifodel_stuck_items > 0"));
      },
      15))
      << prometheus.Text() << exporter.Text();
  sleep(2);  // two more scrapes for the rates; every rule evaluated since
  std::set<std::string> names;
  CheckDashboard(&names);
  CheckRules(&names);
  // A misspelt metric would leave a query without data, even one that is
  // expected to have none.
  for (const std::string& name : names)
    EXPECT_TRUE(kNotWrittenYet.count(name) || HasData(Query(port_, name)))
        << name << " is not written";
  EXPECT_EQ(0, svc.Stop(SIGTERM));
  w.Check();
}

}  // namespace
