// The error list's reset flow (key 1 while errors are listed, and the follow-up after its burst).
#pragma once

struct Works;

// Queues the protection reset sequence ahead of ordinary commands: "CPFFFF;" when a fault or the
// alarm is there, the start-up seeding after a micro reset, then "MP0;", the bypass and the attenuator.
void ResetBiasCmd(Works* works);
void VerificaEsistonoErrori(Works* works);
int GPIO_Errori(Works* works);
void GestErrore(Works* works);
void GestErroreRemote(Works* works);
void GestErroreSerial(Works* works);
