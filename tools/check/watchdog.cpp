#include "watchdog.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "check.h"
#include "platform/system.h"

namespace {

enum State { Running, Finished, TimedOut };
std::atomic<int> state{Running};

struct Watch {
  uint32_t seconds = 0;
  CheckOutput output = CheckOutput::Text;
};
Watch watch;

unsigned watchdogThread(void*) {
  platform::TimerEvent timer;
  // Without a timer there is no bound to keep; the check runs unbounded.
  if (!timer.valid()) return 0;
  timer.wait(watch.seconds * 1000u);
  int expected = Running;
  if (!state.compare_exchange_strong(expected, TimedOut)) return 0;
  const std::string step = checkStepInProgress();
  const std::string seconds = std::to_string(watch.seconds);
  const int exitCode = watch.output == CheckOutput::Nagios ? int{kPluginCritical} : int{kCheckTimedOut};
  const std::string code = std::to_string(exitCode);
  std::string text;
  switch (watch.output) {
    case CheckOutput::Json:
      text = "{\n  \"tempoEsgotado\": {\"segundos\": " + seconds + ", \"etapa\": \"" + step +
             "\"},\n  \"codigoSaida\": " + code + "\n}\n";
      break;
    case CheckOutput::Nagios:
      text = "KELVASYNC-CHECK CRITICAL - tempo limite de " + seconds + " s esgotado na etapa " + step +
             " (sem resposta)\n";
      break;
    case CheckOutput::Text:
      text = "kelvasync-check: tempo limite de " + seconds + " s esgotado na etapa " + step +
             " (sem resposta); verificacao interrompida\n\nresultado: " + code + " (tempo esgotado na etapa " +
             step + ")\n";
      break;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  // The check's own thread may be blocked inside a library call: end the
  // process without running anything else of it.
  std::_Exit(exitCode);
}

}  // namespace

void armCheckWatchdog(uint32_t seconds, CheckOutput output) {
  watch.seconds = seconds;
  watch.output = output;
  if (platform::startThread(watchdogThread, nullptr) == 0) {
    std::fputs("kelvasync-check: nao foi possivel iniciar o controle de tempo; --timeout nao serah respeitado\n",
               stderr);
  }
}

void disarmCheckWatchdog() {
  int expected = Running;
  if (state.compare_exchange_strong(expected, Finished)) return;
  // The watchdog fired and is printing; it ends the process.
  for (;;) {
    platform::TimerEvent timer;
    timer.wait(1000);
  }
}
