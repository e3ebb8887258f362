// Error and warning list shown as tiles.
#pragma once
struct Works;

void AddErrore(Works* works, int code);
void DeleteErrore(Works* works, int code);
int ExistError(Works* works, int code);
