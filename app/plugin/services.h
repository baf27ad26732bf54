// The service table the host hands the plug-in. The project services serve
// the bound project (the plug-in passes it back as edit_handle); the media
// and image services read other files (media_services.h); the filter runner
// binds both for a run.
#pragma once

#include <cstdint>
#include <string>

#include "kinetra/plugin_abi.h"

class Project;

// Makes `project` the one the services serve (null: none).
void BindProject(Project* project);

// The path query_source_file reports, whose folder's kinetra.txt the plug-in
// reads (empty: the project's source).
void TellSourcePath(const std::string& path);

// Fills every slot the host offers.
void FillHostServices(HostServices* services);

// The facts query_source_file reports for a project.
void DescribeProject(Project* project, SourceInfo* info);
