#include "providers/ShellWord.h"

std::string shellWord(const std::string& text)
{
    std::string word = "'";
    for (const char character : text) {
        if (character == '\'') {
            word += "'\\''";
        } else {
            word += character;
        }
    }
    word += '\'';
    return word;
}
