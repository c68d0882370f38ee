/* A host built against an installed stellix, once through its CMake package
 * and once through pkg-config. It checks the two things an install can get
 * wrong (the header and the library it links) and prints a known value. */
#include <stellix/stellix.h>
#include <stdio.h>

int main(void) {
  Body two[2] = {{0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0}, {1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0}};
  double matrix[4];
  double positions[3 * 2 * 3];
  getInverseDistanceCubedMatrix(two, 2, matrix);
  if (matrix[1] != 66699999999906.078125 || matrix[2] != matrix[1] || matrix[0] != 0.0) {
    fprintf(stderr, "wrong gravity factor matrix\n");
    return 1;
  }
  /* steps 5, interval 2: snapshots 0, after 3 and after 5 steps. */
  simulate(two, 2, 1e-3, 5, 2, 0, 1, 0, positions);
  if (positions[0] != 0.0 || !(positions[3 * 2 * 2] > 0.0) || !(two[0].x > 0.0)) {
    fprintf(stderr, "simulate stored unexpected positions\n");
    return 1;
  }
  printf("stellix %d.%d.%d ", STELLIX_VERSION_MAJOR, STELLIX_VERSION_MINOR, STELLIX_VERSION_PATCH);
  printVector(&matrix[1], 1);
  printf("\n");
  return 0;
}
