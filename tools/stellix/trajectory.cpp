#include "trajectory.h"

#include <stdexcept>

#include "systems.h"

#if defined(STELLIX_HAVE_HDF5)
#include <hdf5.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#endif

namespace stellix::program {

#if !defined(STELLIX_HAVE_HDF5)

struct TrajectoryFile::Handles {};

bool trajectories_available() {
  return false;
}

TrajectoryFile::TrajectoryFile(const std::string& path, const TrajectoryHeader&) : path_(path) {
  throw std::runtime_error("cannot write " + printable(path) +
                           ": this stellix was built without HDF5, which --trajectory needs");
}
TrajectoryFile::~TrajectoryFile() = default;
void TrajectoryFile::write(std::int64_t, const std::vector<Body>&) {}
void TrajectoryFile::complete(const std::vector<Body>&, const std::string&, std::int64_t) {}
void TrajectoryFile::place() {}

#else

namespace {

// The innermost error on HDF5's stack: the one that says what the system
// refused (the file driver's includes errno's text).
herr_t innermost(unsigned, const H5E_error2_t* error, void* out) {
  auto* text = static_cast<std::string*>(out);
  if (text->empty() && error->desc != nullptr) *text = error->desc;
  return 0;
}

std::string hdf5_reason() {
  std::string text;
  H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, &innermost, &text);
  H5Eclear2(H5E_DEFAULT);
  // The file driver's report names the system's reason among much else.
  const std::string said = "error message = '";
  const std::size_t at = text.find(said);
  if (at != std::string::npos) {
    const std::size_t from = at + said.size();
    return text.substr(from, text.find('\'', from) - from);
  }
  return text.empty() ? "HDF5 error" : text;
}

}  // namespace

struct TrajectoryFile::Handles {
  hid_t file = H5I_INVALID_HID;
  hid_t positions = H5I_INVALID_HID;
  hid_t velocities = H5I_INVALID_HID;
  std::vector<std::int64_t> steps;
  std::vector<double> times;

  ~Handles() {
    if (positions >= 0) H5Dclose(positions);
    if (velocities >= 0) H5Dclose(velocities);
    if (file >= 0) H5Fclose(file);
  }
};

namespace {

using Handles = TrajectoryFile::Handles;

void check(herr_t status, const std::string& path) {
  if (status < 0)
    throw std::runtime_error("cannot write " + printable(path) + ": " + hdf5_reason());
}

hid_t checked(hid_t id, const std::string& path) {
  if (id < 0) throw std::runtime_error("cannot write " + printable(path) + ": " + hdf5_reason());
  return id;
}

// A whole dataset written at once, of `type` in the file from `memory`.
void dataset(hid_t file, const char* name, hid_t type, hid_t memory_type, int rank,
             const hsize_t* dims, const void* data, const std::string& path) {
  const hid_t space = checked(H5Screate_simple(rank, dims, nullptr), path);
  const hid_t set = H5Dcreate2(file, name, type, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
  H5Sclose(space);
  checked(set, path);
  const herr_t status = H5Dwrite(set, memory_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, data);
  H5Dclose(set);
  check(status, path);
}

hid_t utf8_strings() {
  const hid_t type = H5Tcopy(H5T_C_S1);
  H5Tset_size(type, H5T_VARIABLE);
  H5Tset_cset(type, H5T_CSET_UTF8);
  return type;
}

void attribute(hid_t file, const char* name, hid_t type, const void* value,
               const std::string& path) {
  const hid_t space = checked(H5Screate(H5S_SCALAR), path);
  const hid_t attr = H5Acreate2(file, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
  H5Sclose(space);
  checked(attr, path);
  const herr_t status = H5Awrite(attr, type, value);
  H5Aclose(attr);
  check(status, path);
}

void text_attribute(hid_t file, const char* name, const std::string& text,
                    const std::string& path) {
  const hid_t type = utf8_strings();
  const std::string utf8 = well_formed(text);
  const char* value = utf8.c_str();
  try {
    attribute(file, name, type, &value, path);
  } catch (...) {
    H5Tclose(type);
    throw;
  }
  H5Tclose(type);
}

// (snapshots, n, 3), growing by one snapshot, one chunk, at a time: a run
// stopped early leaves a whole file of the snapshots it took.
hid_t snapshot_dataset(hid_t file, const char* name, const TrajectoryHeader& header,
                       const std::string& path) {
  const hsize_t n = static_cast<hsize_t>(header.bodies);
  const hsize_t dims[3] = {0, n, 3}, most[3] = {H5S_UNLIMITED, n, 3}, chunk[3] = {1, n, 3};
  const hid_t space = checked(H5Screate_simple(3, dims, most), path);
  const hid_t layout = H5Pcreate(H5P_DATASET_CREATE);
  H5Pset_chunk(layout, 3, chunk);
  const hid_t set = H5Dcreate2(file, name, H5T_IEEE_F64LE, space, H5P_DEFAULT, layout, H5P_DEFAULT);
  H5Pclose(layout);
  H5Sclose(space);
  return checked(set, path);
}

// Row `index` of a (snapshots, n, 3) dataset.
void write_row(hid_t set, std::int64_t index, const std::vector<double>& row, std::int64_t n,
               const std::string& path) {
  const hsize_t start[3] = {static_cast<hsize_t>(index), 0, 0};
  const hsize_t count[3] = {1, static_cast<hsize_t>(n), 3};
  const hsize_t grown[3] = {start[0] + 1, count[1], 3};
  check(H5Dset_extent(set, grown), path);
  const hid_t file_space = checked(H5Dget_space(set), path);
  herr_t status = H5Sselect_hyperslab(file_space, H5S_SELECT_SET, start, nullptr, count, nullptr);
  const hid_t memory = H5Screate_simple(3, count, nullptr);
  if (status >= 0 && memory >= 0)
    status = H5Dwrite(set, H5T_NATIVE_DOUBLE, memory, file_space, H5P_DEFAULT, row.data());
  if (memory >= 0) H5Sclose(memory);
  H5Sclose(file_space);
  check(memory < 0 ? -1 : status, path);
}

}  // namespace

bool trajectories_available() {
  return true;
}

TrajectoryFile::TrajectoryFile(const std::string& path, const TrajectoryHeader& header)
    : path_(path), header_(header), output_(std::make_unique<Output>(path, true)) {
  const std::string& temporary = output_->temporary();
  if (temporary.empty()) {
    throw std::runtime_error("cannot write " + printable(path) +
                             ": a trajectory is a file, not a device or standard output");
  }
  // A file whose close failed (a full disk) stays in HDF5's tables, and
  // HDF5's own clean-up at exit would trip over it: the program leaves that
  // to the system. And it reports HDF5's failures itself, once, with their
  // reason.
  H5dont_atexit();
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  try {
    handles_ = std::make_unique<Handles>();
    handles_->file =
        checked(H5Fcreate(temporary.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), path_);
    handles_->positions = snapshot_dataset(handles_->file, "positions", header_, path_);
    handles_->velocities = snapshot_dataset(handles_->file, "velocities", header_, path_);
  } catch (...) {
    handles_.reset();
    throw;
  }
}

TrajectoryFile::~TrajectoryFile() {
  handles_.reset();
}

void TrajectoryFile::write(std::int64_t step, const std::vector<Body>& state) {
  const auto index = static_cast<std::int64_t>(handles_->steps.size());
  const std::int64_t n = header_.bodies;
  std::vector<double> positions(3 * n), velocities(3 * n);
  for (std::int64_t i = 0; i < n; ++i) {
    const Body& b = state[i];
    positions[3 * i] = b.x, positions[3 * i + 1] = b.y, positions[3 * i + 2] = b.z;
    velocities[3 * i] = b.vx, velocities[3 * i + 1] = b.vy, velocities[3 * i + 2] = b.vz;
  }
  write_row(handles_->positions, index, positions, n, path_);
  write_row(handles_->velocities, index, velocities, n, path_);
  handles_->steps.push_back(step);
  handles_->times.push_back(static_cast<double>(step) * header_.dt);
}

void TrajectoryFile::complete(const std::vector<Body>& final_state, const std::string& fingerprint,
                              std::int64_t total_steps) {
  const hid_t file = handles_->file;
  const hsize_t snapshots = handles_->steps.size(), n = header_.bodies, seven[2] = {n, 7};
  dataset(file, "steps", H5T_STD_I64LE, H5T_NATIVE_INT64, 1, &snapshots, handles_->steps.data(),
          path_);
  dataset(file, "times", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, 1, &snapshots, handles_->times.data(),
          path_);
  dataset(file, "masses", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, 1, &n, header_.masses.data(), path_);
  dataset(file, "final_state", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, 2, seven, final_state.data(),
          path_);
  std::vector<std::string> utf8;
  std::vector<const char*> names;
  for (const std::string& name : header_.names)
    utf8.push_back(well_formed(name));
  for (const std::string& name : utf8)
    names.push_back(name.c_str());
  const hid_t strings = utf8_strings();
  try {
    dataset(file, "names", strings, strings, 1, &n, names.data(), path_);
  } catch (...) {
    H5Tclose(strings);
    throw;
  }
  H5Tclose(strings);

  const std::int64_t format_version = 1;
  attribute(file, "format_version", H5T_NATIVE_INT64, &format_version, path_);
  text_attribute(file, "format", "stellix trajectory", path_);
  text_attribute(file, "stellix_version",
                 std::to_string(STELLIX_VERSION_MAJOR) + "." +
                     std::to_string(STELLIX_VERSION_MINOR) + "." +
                     std::to_string(STELLIX_VERSION_PATCH),
                 path_);
  attribute(file, "dt", H5T_NATIVE_DOUBLE, &header_.dt, path_);
  attribute(file, "total_steps", H5T_NATIVE_INT64, &total_steps, path_);
  attribute(file, "interval", H5T_NATIVE_INT64, &header_.interval, path_);
  text_attribute(file, "units", header_.units, path_);
  text_attribute(file, "fingerprint", fingerprint, path_);

  // Closed in full (the last bytes reach the disk here), then made durable
  // and put in place.
  H5Dclose(handles_->positions);
  H5Dclose(handles_->velocities);
  handles_->positions = handles_->velocities = H5I_INVALID_HID;
  const herr_t closed = H5Fclose(handles_->file);
  handles_->file = H5I_INVALID_HID;
  check(closed, path_);
  output_->complete();
}

void TrajectoryFile::place() {
  output_->place();
}

#endif

}  // namespace stellix::program
