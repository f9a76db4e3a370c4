#include "logging/stop_request.h"

#include "runtime/stop_flag.h"
#include "logging/log.h"

void setStopRequested(bool stop) {
  writeLog(Info, stop ? u"Notificacao de 'shutdown' recebida" : u"Notificacao para continuar o servico recebida");
  storeStopRequested(stop);
}
