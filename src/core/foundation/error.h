#pragma once

#include <QString>

#include <exception>
#include <string>

// Base of every error the program throws. description() is the text the user sees.
class Error : public std::exception {
public:
    virtual QString description() const = 0;

    const char *what() const noexcept override
    {
        if (m_what.empty())
            m_what = description().toStdString();
        return m_what.c_str();
    }

private:
    mutable std::string m_what;
};
