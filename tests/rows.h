// The names of the rows of table-driven tests (TEST_P): a row's description
// as a test name, its words joined by underscores, letters and digits only.
#ifndef QUARVELIN_ROWS_H
#define QUARVELIN_ROWS_H

#include <cctype>
#include <string>

inline std::string row_name(const char *what)
{
    std::string name;
    for (const char *c = what; *c != '\0'; c++)
        if (std::isalnum(static_cast<unsigned char>(*c)))
            name += *c;
        else if (!name.empty() && name.back() != '_')
            name += '_';
    while (!name.empty() && name.back() == '_')
        name.pop_back();
    return name;
}

#endif
