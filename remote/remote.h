// Remote operation: WebSocket server and client, audio capture and playback.
#pragma once
struct Works;

void Wsocket(Works* works);
void Wclient(Works* works);
void th_scrivi(Works* works);
void th_leggi(Works* works);
