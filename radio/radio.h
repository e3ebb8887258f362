// Transceiver links: packet link and CAT relay, FT-817 CAT, USB spectrum reader.
#pragma once
struct Works;
struct SerParam;

void Serial(Works* works);
void Cat(Works* works);
void CatSerial(Works* works);
void BIXRead(Works* works);
// Copies the transceiver's parameter block under serMut.
void getParameters(Works* works, SerParam* out);
