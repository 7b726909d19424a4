#pragma once
// Warnings about doubtful input that the command-line tools print before they go on: a mesh
// whose surface is open, and a voxel model that falls into several pieces. Each prints at most
// one "WARNING: " line on the wide message stream (null = silent) and returns true when the
// input passed the check.

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "geometry/TriangleMesh.h"
#include "geometry/Vec3.h"

namespace ostrel {

class FemModel;

/// "WARNING: The mesh "<name>" is open: <n> edges belong to one triangle only; ..." when the
/// surface has holes.
bool checkMeshClosed(const TriangleMesh& mesh, const std::wstring& name, std::wostream* log);

/// "WARNING: The voxel model falls into <n> pieces that share no vertex (sizes ...)" when
/// `pieceSizes` (largest first) holds more than one piece.
bool checkSinglePiece(const std::vector<size_t>& pieceSizes, std::wostream* log);

/// Where a mesh lands in a scene's world coordinates (those of selections and keep boxes): the
/// scene scales it by `factor` (MESH_SCALE_TO; 1 without) and moves its bounding box to start
/// at the origin, so world = mesh x factor + offset. Two lines:
///   "Mesh coordinates: box (X0 Y0 Z0) to (X1 Y1 Z1)"
///   "World coordinates: box (0 0 0) to (W H D) = mesh coordinates x F + (OX OY OZ)"
std::wstring coordinateReport(const Vec3d& meshLo, const Vec3d& meshHi, double factor);

/// The processes that an MPI launcher (mpirun, srun) started together with this one, from the
/// launcher's variables OMPI_COMM_WORLD_SIZE and PMI_SIZE as `environment` looks them up (the
/// process's environment by default); 1 without them or for a value that is no count.
int launchedProcesses(const std::function<const char*(const char*)>& environment = {});

/// For a single-process tool that `processes` processes run at once (launchedProcesses), each
/// of which would run the whole problem alone: "ERROR: <program> is one of <n> processes that
/// mpirun or srun started, each of which would run the whole problem alone: give --engine
/// petsc to share it among them, or start <program> without mpirun"; empty for one process.
std::string launchedTogetherError(const std::string& program, int processes);

/// Face-connected pieces of the level-0 elements of a model, largest first.
std::vector<size_t> elementPieceSizes(const FemModel& model);

}  // namespace ostrel
