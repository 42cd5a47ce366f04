// The shipped dashboard and alerting rules against the real parts: the
// service writes its metrics, node_exporter's textfile collector serves
// them, a Prometheus of the test's own scrapes them every second with the
// rules loaded, and answers every dashboard query and every rule's
// expression through its HTTP API.
#include <netinet/in.h>
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

// The rules whose expression returns data in the test's scenario (a stuck
// call, a call waiting to be archived since 2021); the others' must return
// none. Every dashboard query must return data.
const std::set<std::string> kRulesWithData = {
    "FifodelStuck", "fifodel:archive_backlog_oldest_age_seconds:behind",
    "FifodelArchivingBehind"};

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t n = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), n);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  close(fd);
  return ntohs(a.sin_port);
}

// Prometheus' answer to GET `path` on `port`, with `query` as the parameter
// of that name; empty when there is none (not listening yet).
json Api(int port, const std::string& path, const std::string& query = "") {
  std::ofstream("/run/promql") << query;
  json j = json::parse(Output("curl -sgG --data-urlencode query@/run/promql "
                              "'http://127.0.0.1:" +
                              std::to_string(port) + path + "'"),
                       nullptr, false);
  return j.is_object() ? j : json::object();
}
bool HasData(const json& answer) {
  return answer.value("status", "") == "success" &&
         !answer["data"]["result"].empty();
}

// `expr` with Grafana's variables as a dashboard of the last hour on
// `instance` sets them.
std::string Substituted(std::string expr, const std::string& instance) {
  for (auto [v, value] :
       std::map<std::string, std::string>{{"instance", instance},
                                          {"__rate_interval", "1m"},
                                          {"__interval", "15s"},
                                          {"__range", "1h"}})
    expr = std::regex_replace(expr, std::regex("\\$\\{?" + v + "\\}?"), value);
  EXPECT_EQ(std::string::npos, expr.find('$')) << expr;  // one unknown
  return expr;
}

// The metrics that `promql` names, the service's and the recording rule's.
void Names(const std::string& promql, std::set<std::string>* names) {
  static const std::regex name("fifodel[_:][a-z_:]+");
  for (std::sregex_iterator i(promql.begin(), promql.end(), name), end;
       i != end; ++i)
    names->insert(i->str());
}

class MonitoringTest : public SandboxTest {
 protected:
  // node_exporter serving only the metrics directory, and Prometheus
  // scraping it every second with the shipped rules, its data on a tmpfs
  // of its own.
  void StartMonitoring(Service* exporter, Service* prometheus) {
    instance_ = "127.0.0.1:" + std::to_string(FreePort());
    exporter->Start("--web.listen-address=" + instance_ +
                    " --collector.disable-defaults --collector.textfile"
                    " --collector.textfile.directory=/run/metrics 2>&1");
    fs::create_directories("/run/prometheus");
    FreshTmpfs("/run/prometheus", 64);
    std::ofstream("/run/prometheus/prometheus.yml")
        << "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
           "rule_files: ['" SOURCE_DIR
           "/dist/fifodel-alerts.yml']\n"
           "scrape_configs: [{job_name: fifodel, static_configs: "
           "[{targets: ['"
        << instance_ << "']}]}]\n";
    port_ = FreePort();
    prometheus->Start(
        "--config.file=/run/prometheus/prometheus.yml"
        " --storage.tsdb.path=/run/prometheus/data"
        " --web.listen-address=127.0.0.1:" +
        std::to_string(port_) + " 2>&1");
  }
  // Every query of the dashboard succeeds and returns data; the instance
  // variable finds the server.
  void CheckDashboard(std::set<std::string>* names) {
    json dashboard =
        json::parse(std::ifstream(SOURCE_DIR "/dist/fifodel-dashboard.json"),
                    nullptr, false);
    ASSERT_GE(dashboard["panels"].size(), 10u);
    for (const json& panel : dashboard["panels"])
      for (const json& target : panel["targets"]) {
        const std::string promql = Substituted(target["expr"], instance_);
        const json answer = Api(port_, "/api/v1/query", promql);
        EXPECT_EQ("success", answer.value("status", "")) << promql << answer;
        Names(promql, names);
        EXPECT_TRUE(HasData(answer)) << promql;
      }
    for (const json& var : dashboard["templating"]["list"]) {
      std::smatch m;
      const std::string def = var.value("definition", "");
      if (std::regex_match(def, m,
                           std::regex(R"(label_values\((\w+), (\w+)\))")))
        EXPECT_EQ(json::array({instance_}),
                  Api(port_, "/api/v1/label/" + m[2].str() +
                                 "/values?match[]=" + m[1].str())["data"]);
    }
  }
  // Every rule is loaded and evaluates without error, and its expression
  // answers as kRulesWithData says.
  void CheckRules(std::set<std::string>* names) {
    std::vector<json> rules;
    const json listed = Api(port_, "/api/v1/rules");
    for (const json& g : listed["data"]["groups"])
      rules.insert(rules.end(), g["rules"].begin(), g["rules"].end());
    EXPECT_GE(rules.size(), 10u);
    for (const json& r : rules) {
      const std::string name = r["name"], expr = r["query"];
      EXPECT_EQ("ok", r.value("health", "")) << name << r;
      const json answer = Api(port_, "/api/v1/query", expr);
      EXPECT_EQ("success", answer.value("status", "")) << expr << answer;
      Names(expr, names);
      EXPECT_EQ(kRulesWithData.count(name) != 0, HasData(answer))
          << name << ": " << expr;
    }
  }
  std::string instance_;
  int port_ = 0;
};

TEST_F(MonitoringTest, DashboardAndRulesAnswerFromWhatTheServiceWrites) {
  for (const char* tool : {"prometheus", "prometheus-node-exporter", "curl"})
    if (Sh(std::string("command -v ") + tool + " >/dev/null") != 0)
      GTEST_SKIP() << "no " << tool;
  // A stuck call, two calls reclaimed, one waiting to be archived.
  World w(292);  // trigger level 250 MB
  w.AddCall(1, "2021/03/04/04", 1, kMB, true);
  for (int id = 2; id <= 4; ++id)
    w.AddCall(id, "2021/03/04/05", id % 2 + 1, 30 * kMB, true);
  w.AddCall(5, "2021/03/04/05", 3, kMB, false);
  w.Insert();  // 60 MB short: calls 2 and 3 go
  ReadOnly("/recordings/2021/03/04/04");
  fs::create_directories("/run/metrics");
  Service exporter("prometheus-node-exporter"), prometheus("prometheus");
  StartMonitoring(&exporter, &prometheus);
  Service svc(FIFODEL_BINARY, "nofork --metrics-dir /run/metrics",
              {"FIFODEL_TIME_SCALE=0.1"});
  const std::string scraped =
      "fifodel_reclaimed_calls_total > 0 and on (instance) "
      "fifodel_stuck_items > 0";
  ASSERT_TRUE(Service::Await(
      [&] { return HasData(Api(port_, "/api/v1/query", scraped)); }, 15))
      << prometheus.Text() << exporter.Text();
  sleep(2);  // two more scrapes for the rates; every rule evaluated since
  std::set<std::string> names;
  CheckDashboard(&names);
  CheckRules(&names);
  // Every metric named exists: a misspelt one would pass for a quiet rule.
  for (const std::string& name : names)
    EXPECT_TRUE(HasData(Api(port_, "/api/v1/query", name)))
        << name << " is not written";
  EXPECT_EQ(0, svc.Stop(SIGTERM));
  w.Check();
}

}  // namespace
