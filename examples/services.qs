// Calls the tags of the example services module (examples/java-services, deployed as
// ServiceTags.jar). Run it with:  build/bin/quill run examples/services.qs
// and, to see the semaphore at work across worker threads:
//   build/bin/quill --threads 4 run examples/services.qs --repeat 200

svc_store('svc.greeting') '\n'                       // filled by the start-up job
'server starts so far: ' svc_store('svc.boots') '\n' // kept in the internal database

var last = 0
repeat(3) => { $last = svc_count() }                 // a counter shared by every worker thread
'shared counter: ' $last '\n'

'Java sees ' svc_whoami() '\n'
'the script sees user [' current_user() '] on site ' site_id() ' (' site_name() ')\n'
