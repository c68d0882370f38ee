/* A C99 host: the header compiles as C, the symbols resolve with C linkage,
 * and the basic contract holds seen from C. */
#include <errno.h>
#include <stellix/stellix.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;

static void check(int condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

int main(void) {
  Body bodies[2] = {{0, 0, 0, 0, 0, 0, 1}, {1, 0, 0, 0, 0, 0, 1}};
  double matrix[4];
  double accelerations[6];
  double positions[3 * 2 * 3];
  double mass_offset = (double)((const char*)&bodies[0].mass - (const char*)&bodies[0]);

  check(sizeof(Body) == 7 * sizeof(double), "Body is seven doubles");
  check(mass_offset == 6 * sizeof(double), "mass is the seventh double");
  getInverseDistanceCubedMatrix(bodies, 2, matrix);
  check(matrix[1] == 66699999999906.078125 && matrix[2] == matrix[1], "unit-distance factor");
  check(matrix[0] == 0.0 && matrix[3] == 0.0, "zero diagonal");
  getAccelerationVectorArray(bodies, 2, accelerations, matrix);
  check(accelerations[0] == 66699999999906.078125 && accelerations[3] == -accelerations[0],
        "unit-distance acceleration");
  check(invsqrt(0.25) == 2.0, "invsqrt");

  bodies[1].x = 1e9;
  errno = EDOM;
  simulate(bodies, 2, 1.0, 5, 2, 0, 1, 0, positions);
  check(errno == EDOM, "a whole run leaves errno as it was");
  check(positions[3] == 1e9, "initial snapshot stored");
  check(positions[6] > 0.0 && positions[6] < 1e-3, "bodies approach");
  printf("c_host: %d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
