// Text handed to a command line run through the shell, as one word that the
// shell takes literally: blanks, quotes, "$(...)" and backquotes run nothing.
#pragma once

#include <string>

// `text` in single quotes, each embedded single quote written as '\''.
std::string shellWord(const std::string& text);
