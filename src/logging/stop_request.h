// A stop requested from inside the program, announced in the log.
#pragma once

// Logs "Notificacao de 'shutdown' recebida" (true) or "Notificacao para
// continuar o servico recebida" (false), then writes the stop flag.
void setStopRequested(bool stop);
