#pragma once

#include <cstdint>
#include <string>

// Acts on a newer version by the manifest's update mode; returns the update
// code of the run (the number of files installed, 0, or a failure code).
int32_t OfferUpdate();

// The version named by the argument that marks the copy started with
// administrator rights; empty for any other argument.
std::string ElevatedVersionOf(const std::string& argument);
// The elevated copy's whole update, once it has checked the manifest
// itself: the package of the version the user accepted, installed with no
// question, no report and nothing started; its update code.
int32_t UpdateAsElevatedCopy();

// The installer of the manifest, fetched into the temporary folder and
// checked (with n: the one in the application folder): 0 with its path, 0
// with none when there is nothing to start, or the failure code.
int32_t FetchInstaller(std::string& path);
// Starts the checked installer at path with arguments, held open against a
// swap, and waits for it; false when it could not be started.
bool RunVerified(const std::string& path, const std::string& arguments, int32_t& exitCode);
// The write test: a copy of the configuration made and deleted in the
// application folder.
bool AppFolderWritable();

// The caption and texts of the two questions.
std::string QuestionCaption();
std::string HomepageQuestionText();
std::string UpdateQuestionText();
