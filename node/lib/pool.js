'use strict';
// Extractions on the library's sessions: at most MAX_SESSIONS run at once and the rest wait their turn. One
// timer watches every running session; it polls often while sessions start and end and backs off while
// copies run, so small files follow each other closely and a long copy costs next to nothing.
const { library, constants: C } = require('./binding');
const { parse, progressOf } = require('./reports');

const PROGRESS_EVERY_MS = 50; // how often a progress callback may be called while a copy runs
const POLL_MIN_MS = 1;
const POLL_MAX_MS = 16;
const NO_SLOT_RETRY_MS = 10; // another copy of the package in this process holds every slot

class Pool {
  constructor() {
    this.lib = library();
    this.queue = [];
    this.active = new Map(); // session id -> job
    this.freeing = 0; // ended sessions whose slot is being given back
    this.timer = null;
    this.delay = POLL_MIN_MS;
    // A process that exits with copies running: cancel and free them, so no temporary file stays behind.
    process.once('exit', () => {
      for (const id of this.active.keys()) this.lib.freeNow(id);
    });
  }

  /**
   * Runs job ({src, dst, stream, onProgress}) to its end. Settles with {state, report, progress} for a session
   * that ended, or rejects with the error job.refuse(code) gives for a session that never started.
   * Returns a cancel function too: before the start the job leaves the queue, after it the session is cancelled.
   */
  run(job) {
    const done = new Promise((resolve, reject) => Object.assign(job, { resolve, reject }));
    this.queue.push(job);
    this.pump();
    const cancel = () => {
      const i = this.queue.indexOf(job);
      if (i >= 0) {
        this.queue.splice(i, 1);
        job.resolve({ state: C.STATE_CANCELLED, report: null });
      } else if (job.id !== undefined && this.active.get(job.id) === job) {
        this.lib.cancel(job.id);
      }
    };
    return { done, cancel };
  }

  pump() {
    while (this.queue.length && this.active.size + this.freeing < C.MAX_SESSIONS) {
      const job = this.queue[0];
      const id = this.lib.start(job.src, job.dst, job.stream);
      if (id === C.ERR_NO_SLOT) {
        if (!this.retry) {
          this.retry = setTimeout(() => { this.retry = null; this.pump(); }, NO_SLOT_RETRY_MS);
        }
        return;
      }
      this.queue.shift();
      if (id < 0) {
        job.reject(job.refuse(id));
        continue;
      }
      job.id = id;
      job.lastProgress = null;
      job.progressAt = 0;
      this.active.set(id, job);
      this.delay = POLL_MIN_MS;
    }
    this.watch();
  }

  watch() {
    if (!this.timer && this.active.size) this.timer = setTimeout(() => this.poll(), this.delay);
  }

  poll() {
    this.timer = null;
    let ended = false;
    const now = Date.now();
    for (const [id, job] of this.active) {
      const state = this.lib.status(id);
      if (state >= C.STATE_DONE) {
        this.end(id, job, state);
        ended = true;
      } else if (job.onProgress && now - job.progressAt >= PROGRESS_EVERY_MS) {
        job.progressAt = now;
        this.report(job, parse(this.lib.progress(id)));
      }
    }
    this.delay = ended ? POLL_MIN_MS : Math.min(this.delay * 2, POLL_MAX_MS);
    if (ended) this.pump();
    this.watch();
  }

  report(job, raw) {
    const p = progressOf(raw);
    const last = job.lastProgress;
    if (last && last.packets === p.packets && last.state === p.state) return;
    job.lastProgress = p;
    try {
      job.onProgress(p);
    } catch (e) {
      // A callback that throws stops its own extraction and becomes the extraction's error.
      job.callbackError = e;
      this.lib.cancel(job.id);
    }
  }

  end(id, job, state) {
    this.active.delete(id);
    const report = parse(this.lib.result(id));
    if (state === C.STATE_DONE && job.onProgress && !job.callbackError) this.report(job, parse(this.lib.progress(id)));
    this.freeing += 1;
    this.lib.free(id).finally(() => {
      this.freeing -= 1;
      this.pump();
    });
    job.resolve({ state, report });
  }
}

let pool = null;
module.exports = { pool: () => (pool = pool || new Pool()) };
