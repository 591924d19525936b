// Plays the stream named by ?src= in the page's video element and tells the recording script how it
// went by fetching /ended or /failed on the page's own server, with the ?case= tag.
const query = new URLSearchParams(location.search);
const tag = encodeURIComponent(query.get('case') || 'none');

function report(what, detail) {
  fetch('/' + what + '?case=' + tag + (detail ? '&why=' + encodeURIComponent(detail) : ''), { cache: 'no-store' });
}

function fail(why) { report('failed', why); }

function play(start) {
  const video = document.getElementById('video');
  video.muted = true;
  video.addEventListener('ended', () => report('ended'));
  video.addEventListener('error', () => fail('video element: ' + (video.error ? video.error.message : 'error')));
  video.addEventListener('playing', () => report('playing'));
  start(video, query.get('src'));
  // Some players stop a hair short of the end; a stream that has played to its last second has ended.
  setInterval(() => {
    if (video.duration && video.currentTime >= video.duration - 0.3) report('ended', 'at ' + video.currentTime);
  }, 500);
}
