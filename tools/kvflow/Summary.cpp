// Formatting kvflow's summary.
#include "tools/kvflow/Summary.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "tools/kvflow/VisibleText.h"

namespace kvflow {
namespace {

constexpr std::size_t kOperandsShown = 10;

std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

}  // namespace

std::string formatSummary(const SummaryInput& input) {
  const RunStats& stats = input.stats;
  std::ostringstream out;
  long read = 0;
  std::string perFlow;
  for (const auto& [flow, count] : input.readPerFlow) {
    read += count;
    perFlow += (perFlow.empty() ? "" : ", ") + flow + " " + std::to_string(count);
  }
  const std::size_t flows = input.readPerFlow.size();
  out << "== kvflow summary\n";
  out << "messages read: " << read;
  if (flows > 1) out << " (" << perFlow << ")";
  out << "\n";
  out << "messages sent: " << stats.sent << " (repeat " << input.repeat << ", "
      << input.processesPerFlow * static_cast<int>(flows) << " broker process"
      << (input.processesPerFlow * flows == 1 ? "" : "es") << ")\n";

  out << "messages per output:\n";
  std::size_t width = std::string("(no output)").size();
  for (const auto& item : stats.perOutput) width = std::max(width, item.first.size());
  for (const auto& [name, count] : stats.perOutput) {
    out << "  " << padded(name, width) << "  " << count << "\n";
  }
  out << "  " << padded("(no output)", width) << "  " << stats.reachedNoOutput << "\n";

  out << "failures by result code:";
  if (stats.failures.empty()) out << " none";
  out << "\n";
  for (const auto& [code, operands] : stats.failures) {
    long total = 0;
    for (const auto& item : operands) total += item.second;
    out << "  " << code << " (" << resultCodeMeaning(code) << "): " << total << "\n";
    std::vector<std::pair<std::string, long>> sorted(operands.begin(), operands.end());
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    for (std::size_t i = 0; i < sorted.size() && i < kOperandsShown; ++i) {
      out << "      " << (sorted[i].first.empty() ? "(no operand)" : sorted[i].first) << ": "
          << sorted[i].second << "\n";
    }
    if (sorted.size() > kOperandsShown) {
      out << "      ... and " << sorted.size() - kOperandsShown << " other operands\n";
    }
  }

  out << "broker events by number:";
  if (stats.eventsByNumber.empty()) out << " none";
  out << "\n";
  for (const auto& [number, count] : stats.eventsByNumber) {
    out << "  " << number << " (" << eventMeaning(number) << "): " << count << "\n";
  }
  if (!stats.notWritten.empty()) {
    long total = 0;
    for (const auto& [node, paths] : stats.notWritten) {
      for (const auto& item : paths) total += item.second;
    }
    out << "messages not written (an element name is not an XML name): " << total << "\n";
    for (const auto& [node, paths] : stats.notWritten) {
      std::size_t shown = 0;
      for (const auto& [path, count] : paths) {
        if (shown++ == kOperandsShown) {
          out << "  " << node << ": ... and " << paths.size() - kOperandsShown
              << " other elements\n";
          break;
        }
        out << "  " << node << ": " << visibleText(path) << ": " << count << "\n";
      }
    }
  }
  if (!stats.exceptions.empty()) {
    out << "broker exceptions out of the flow:\n";
    for (const auto& [text, count] : stats.exceptions) out << "  " << count << "x " << text << "\n";
  }

  char rate[128];
  const double perSecond = input.seconds > 0 ? static_cast<double>(stats.sent) / input.seconds : 0;
  std::snprintf(rate, sizeof rate, "throughput: %.1f messages/s (%.3f s)\n", perSecond,
                input.seconds);
  out << rate;
  return out.str();
}

nlohmann::json statsToJson(const RunStats& stats) {
  nlohmann::json failures = nlohmann::json::object();
  for (const auto& [code, operands] : stats.failures) failures[std::to_string(code)] = operands;
  nlohmann::json events = nlohmann::json::object();
  for (const auto& [number, count] : stats.eventsByNumber) events[std::to_string(number)] = count;
  return {{"sent", stats.sent},
          {"reachedNoOutput", stats.reachedNoOutput},
          {"perOutput", stats.perOutput},
          {"failures", failures},
          {"events", events},
          {"exceptions", stats.exceptions},
          {"notWritten", stats.notWritten}};
}

RunStats statsFromJson(const nlohmann::json& json) {
  RunStats stats;
  stats.sent = json.at("sent").get<long>();
  stats.reachedNoOutput = json.at("reachedNoOutput").get<long>();
  stats.perOutput = json.at("perOutput").get<std::map<std::string, long>>();
  for (const auto& item : json.at("failures").items()) {
    stats.failures[std::stoi(item.key())] = item.value().get<std::map<std::string, long>>();
  }
  for (const auto& item : json.at("events").items()) {
    stats.eventsByNumber[std::stoi(item.key())] = item.value().get<long>();
  }
  stats.exceptions = json.at("exceptions").get<std::map<std::string, long>>();
  stats.notWritten =
      json.at("notWritten").get<std::map<std::string, std::map<std::string, long>>>();
  return stats;
}

}  // namespace kvflow
