#pragma once

#include <string>
#include <vector>

// From starting a program to its main window (titled "Form1") shown on the X display, in ms;
// -1 when it did not appear within 10 s.
double StartUpMs(const std::string& program);

// Runs a program to its end and returns the numbers it printed as "name value" lines.
struct Figure {
    std::string name;
    double value = 0;
};
std::vector<Figure> RunForFigures(const std::string& program, const std::vector<std::string>& arguments);
double FigureOf(const std::vector<Figure>& figures, const std::string& name);
