// The public header as a C++11 host sees it: building this file is the check.
#include <stellix/stellix.h>

#include <vector>

int main() {
  std::vector<Body> bodies(2, Body{0, 0, 0, 0, 0, 0, 1});
  bodies[1].x = 1;
  std::vector<double> matrix(4);
  getInverseDistanceCubedMatrix(bodies.data(), 2, matrix.data());
  return matrix[1] == 66699999999906.078125 ? 0 : 1;
}
