#pragma once

#include <cstdint>
#include <string>

// Acts on a newer version by the manifest's update mode; returns the update
// code of the run (the number of files installed, 0, or a failure code).
int32_t OfferUpdate();

// The caption and texts of the two questions.
std::string QuestionCaption();
std::string HomepageQuestionText();
std::string UpdateQuestionText();
