// Template body of qel::parallel::run.
#include <omp.h>

template <typename Schedule, typename Fn>
void qel::parallel::run(const Schedule& schedule, Fn fn) {
  const int slots = schedule.slots();
#pragma omp parallel
  {
    const int n = omp_get_num_threads();
    for (int t = omp_get_thread_num(); t < slots; t += n) {
      int begin, end;
      schedule.range(t, begin, end);
      if (begin < end) fn(begin, end);
    }
  }
}
