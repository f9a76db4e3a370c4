// The cycle's report in every form, pinned by golden files beside this test
// (cycle_report_golden/): the status file, the metrics, the JSON of
// --status --json, the perfdata of --status --nagios, STATUS= and the
// journal's summary. A key misspelt or moved changes a file; a status file
// read back gives every figure and state it was written with.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/text.h"
#include "sync/cycle_report.h"

namespace {

// Every figure a value of its own, two states held back, a failed cycle.
CycleStatus sample() {
  CycleStatus status;
  status.start = "07/12/2026 10:00:00";
  status.end = "07/12/2026 10:00:05";
  status.endEpoch = 1796637605;
  status.outcome = CycleOutcome::Hsm;
  status.cause = "Nao foi possivel salvar 'addb'. Procure o atendimento de Suporte. Codigo 5904.";
  status.domainController = "dc02.example.com:389";
  ReconcileCounts counts;
  counts.membersRead = 120;
  counts.created = 2;
  counts.unblocked = 117;
  counts.blocked = 3;
  counts.keptBlocked = 4;
  counts.removed = 5;
  counts.failed = 6;
  counts.unreadable = 7;
  status.counts = counts;
  status.countsEpoch = status.endEpoch;
  status.lastComplete = "07/12/2026 09:57:05";
  status.lastCompleteEpoch = 1796637425;
  status.intervalSeconds = 180;
  status.next = "10:03:05";
  status.heldBack = kHeldRemovalLimit | kHeldStoredListKept;
  status.durationSeconds = 5;
  return status;
}

std::string quote(const std::string& text) { return "\"" + text + "\""; }

// Compares `text` with the golden file `name`; KV_WRITE_GOLDEN=1 writes it.
void expectGolden(const std::string& name, const std::string& text) {
  const std::filesystem::path file = std::filesystem::path(KV_CYCLE_REPORT_GOLDEN) / name;
  if (const char* write = std::getenv("KV_WRITE_GOLDEN"); write != nullptr && std::string(write) == "1") {
    std::ofstream(file, std::ios::binary) << text;
  }
  std::ifstream in(file, std::ios::binary);
  const std::string golden((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text, golden) << name;
}

TEST(CycleReport, EveryFormMatchesItsGoldenFile) {
  const CycleStatus status = sample();
  expectGolden("kelvasync.status", formatCycleStatus(status));
  expectGolden("kelvasync.prom", formatCycleMetrics(status));
  expectGolden("status.json", std::string("{").append(cycleStatusJsonMembers(status, quote)).append("}\n"));
  expectGolden("perfdata.txt", countsPerfData(*status.counts) + "\n");
  expectGolden("systemd-status.txt", utf16ToUtf8(cycleStatusLine(status)) + "\n");
  expectGolden("journal-summary.txt", utf16ToUtf8(cycleSummaryLine(*status.counts)) + "\n");
}

TEST(CycleReport, AStatusFileReadsBackWithEveryFigureAndState) {
  const CycleStatus written = sample();
  CycleStatus read;
  ASSERT_TRUE(parseCycleStatus(formatCycleStatus(written), read));
  ASSERT_TRUE(read.counts.has_value());
  for (const CycleFigure& figure : cycleFigures())
    EXPECT_EQ(figure.value(*read.counts), figure.value(*written.counts)) << figure.statusKey;
  EXPECT_EQ(read.heldBack, written.heldBack);
  EXPECT_EQ(read.outcome, written.outcome);
  EXPECT_EQ(read.lastCompleteEpoch, written.lastCompleteEpoch);
  EXPECT_EQ(read.countsEpoch, written.countsEpoch);
  EXPECT_EQ(read.cause, written.cause);
  EXPECT_EQ(read.domainController, written.domainController);
  EXPECT_EQ(read.durationSeconds, written.durationSeconds);
  EXPECT_FALSE(parseCycleStatus("qualquer coisa\n", read));
  // A name the INI file holds goes into a label value escaped.
  CycleStatus odd = written;
  odd.domainController = "dc\"01\\x";
  EXPECT_NE(formatCycleMetrics(odd).find("kelvasync_domain_controller_info{dc=\"dc\\\"01\\\\x\"} 1\n"),
            std::string::npos);
  odd.domainController.clear();
  EXPECT_EQ(formatCycleMetrics(odd).find("domain_controller"), std::string::npos);
  // Every name appears once per vocabulary.
  for (size_t i = 0; i < cycleFigures().size(); ++i) {
    for (size_t j = i + 1; j < cycleFigures().size(); ++j) {
      EXPECT_NE(cycleFigures()[i].statusKey, cycleFigures()[j].statusKey);
      EXPECT_NE(cycleFigures()[i].jsonKey, cycleFigures()[j].jsonKey);
      EXPECT_NE(cycleFigures()[i].metric, cycleFigures()[j].metric);
    }
  }
}

}  // namespace
